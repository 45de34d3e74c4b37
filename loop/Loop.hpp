#pragma once

#include "access/CardCheck.hpp"
#include "access/RowReaders.hpp"
#include "counting/Counter.hpp"
#include "counting/EventLog.hpp"
#include "counting/Input.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "line/Card.hpp"
#include "loop/Tickets.hpp"
#include "mail/Mail.hpp"
#include "platform/LocalTime.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace config {
class TMessLog;
}
namespace db {
class TJournal;
class TOfflineCopy;
}
namespace mail {
class TMailSender;
}
namespace platform {
class TWorker;
}

namespace loop {

enum TDeviceTypes : std::uint8_t { dtCardReader = 0, dtTicketSpitter = 1, dtBarcodeExit = 2 };
// "reader", "spitter" or "barcode exit", as operators read them.
const char* DeviceTypeName(int type) noexcept;

// The keys of the settings file's [Settings] section that loops read, with
// the default each takes when absent.
struct TSettingKey {
    const char* Key;
    const char* Default;
};
extern const std::vector<TSettingKey> kLoopSettingKeys;

// "`loop`" on MySQL-family connections, where loop is a reserved word.
std::string LoopTable(db::TDbKind kind);

// What the loops read from the settings file's [Settings] section.
struct TLoopSettings {
    int SyncMinutes = 0;
    int GraceMinutes = 15;
    std::vector<int> ExtendedGraceLanes{0};
    int ExtendedGraceMinutes = 15;
    int FutureGraceMinutes = 15;
    bool OldTicketFormat = false;
    bool FlatRate = false;
    std::string EmailServer;
    int EmailPort = 25;
    std::string EmailFrom;
    std::string EmailTo;
    mail::TMailSecurity EmailSecurity;  // from the product key, not the settings file
    bool LowSecurity = false;
    bool SyncExitReader = true;
    bool DebitExpiry = false;
    bool AutoReset = true;
};

// What a loop decides with while the site database is away; set by the
// service before the loop's first event, outliving the loop.
struct TOfflineLinks {
    db::TOfflineCopy* Copy = nullptr;
    db::TJournal* Journal = nullptr;
    std::string Computer;
};

// The controller of one loop: its own connection, its line, counters and
// input handlers per address, and the handlers of the line's events. Made and
// destroyed on the main thread; its events, and the work others hand it, run
// on its worker one at a time in arrival order, so a slow decision on one loop
// holds up no other loop and never the main thread. The worker owns the
// connection, the counters, the inputs and the mailer; the main thread uses
// only what is fixed at set-up, the line's command operations (ForceGate,
// SyncTimeDate) and Post.
class TLoop {
public:
    // Sets the loop up completely: connects, upgrades the schema, reads the
    // devices and settings, binds the handlers and opens the line. A loop
    // whose database is unreachable is created inert (no line).
    // offlineCopy: where to read the set-up from while the site database is
    // away at start-up; empty, such a loop is created inert.
    TLoop(config::TMessLog& log, int loopId, const std::string& offlineCopy = std::string());
    // Waits until the loop is idle: what it was handed runs first.
    virtual ~TLoop();

    // Any thread but the worker's: run work on the worker later (errors are
    // logged), or now and wait for it (false when the loop is going away).
    void Post(std::function<void()> work);
    bool Invoke(const std::function<void()>& work);
    // The lot-full pass on the worker, at most one pending.
    void PostUpdateOutputs();
    TLoop(const TLoop&) = delete;
    TLoop& operator=(const TLoop&) = delete;

    void SoftCount(int address);
    static int ElapsedMinutes(platform::TDateTime from, platform::TDateTime to);

    // Device-state events and periodic work.
    void CounterEvent(int reader, const std::string& value) noexcept;
    void InputEvent(int reader, const std::string& value) noexcept;
    void OfflineEvent(int reader) noexcept;
    void PowerUpEvent(int reader) noexcept;
    void UpdateOutputs() noexcept;
    void SyncTimeDate() noexcept;
    bool ForceGate(int address, bool open) noexcept;

    // Cards and memory records presented at readers, and remote opens.
    void CardDataEvent(int reader, const std::string& data) noexcept;
    void MemoryDataEvent(int reader, const std::string& data) noexcept;
    void CardEvent(int reader, const std::string& data);
    void MemoryCardEvent(int reader, const std::string& data);
    // The text for a decided card, from the rows its decision read.
    std::string DeviceMessage(int result, double number, const cardaccess::TCardOutputs& decided);
    // True when the card's parking space took over the gate (lift outputs).
    bool SpecialOutput(int address, int spaceNo, int pulse);
    void ManualOpen(int address, int pulse);

    // Barcode tickets and ticket printers. CheckBarcode and RecordTicketIssue
    // are also what the card-data handler calls for exits and spitters; both
    // expect a connected database. now is the local clock they judge by.
    void BarcodeEvent(int reader, const std::string& value) noexcept;
    void PrinterEvent(int reader, const std::string& value) noexcept;
    void CheckBarcode(int reader, const std::string& barcode, platform::TDateTime now = platform::NowDateTime());
    void RecordTicketIssue(int reader, const std::string& record, platform::TDateTime now = platform::NowDateTime());
    void PrinterStatus(int reader, const std::string& value);

    config::TMessLog& MessageLog;
    const int LoopId;
    bool DetailedLog = true;
    TLoopSettings Settings;  // read from the settings file at set-up
    int SyncCount = 0;
    int LastPulse = 0;

    line::TCard* Line() const noexcept { return m_line.get(); }  // none while the database was unreachable
    db::TODBC& Database() const noexcept { return *m_database; }
    TOfflineLinks Offline;
    db::TODBCConn& Connection() const noexcept { return *m_connection; }

private:
    void UpgradeSchema();
    // Where the set-up reads the loop's rows: the site, or the offline copy,
    // which is let go before the line opens (the events then reach the site
    // when it answers).
    enum class TSetUpFrom { Site, Copy };
    // The set-up steps, in order.
    void CreateCardInterface(TSetUpFrom from);
    void BindHandlers();
    void SetUpDevices(int& first, int& last);
    void MakeCountersAndInputs(int first, int last);
    void ReadLineSettings(bool rfModem);
    void OpenLine(int port, int first, int last);
    void MakePayOnFootCounters();

    bool Connected(db::TODBCConn::TCheck check = db::TODBCConn::TCheck::Probe) noexcept;
    void PublishDatabase(bool up) noexcept;
    int DeviceType(int address) const;
    void LowSecurityOpen(int reader, const std::string& data);
    bool DecisionSurvived(int reader, const std::string& data, double number, const cardaccess::TCardOutputs& out);
    bool Reconnected() noexcept;
    // The decision for the monitoring: its result, its times, the last-decisions list.
    void PublishDecision(int reader, const std::string& card, int result, std::chrono::steady_clock::time_point handled,
                         std::chrono::steady_clock::time_point decided) noexcept;
    // The site database is away: the event is decided against the local copy
    // when there is a usable one, else as without a copy.
    void DecideWithoutDatabase(int reader, const std::string& data, const std::function<void()>& decide);
    bool DecideOffline(const std::function<void()>& decide);
    void LogOfflineDecision(const std::string& what, int reader, int result);
    void NotifyByMail(const std::string& body) noexcept;
    // The device row of this loop at the address; empty values when missing.
    cardaccess::TDeviceRow DeviceRow(int address);
    bool IsExtendedGraceLane(int lane) const;
    TExitState JudgeExitPass(int reader, const std::string& barcode, platform::TDateTime date,
                             platform::TDateTime now, const cardaccess::TDeviceRow& device);
    bool LockTicketRow(const std::string& barcode);
    bool InsertExitTicket(const std::string& barcode, platform::TDateTime date);
    bool WriteTicketIssue(const std::string& record, platform::TDateTime now);
    void LogConflictRetry(const std::string& what, int retry);
    bool MoveOlderTicketAside(const TIssueRecord& issue, int ticketNo, std::string& where);
    std::string AsideBarcode(const std::string& barcode);
    // A unique key on tickinv.barcode, added where it is missing and the rows allow.
    void EnsureUniqueBarcodes();

    // Owned objects, released in reverse order: the line (and its threads)
    // first, the connection and its binding last.
    std::unique_ptr<db::TODBC> m_database;
    std::unique_ptr<db::TODBCConn> m_connection;
    std::shared_ptr<platform::TWorker> m_worker;  // shared by the loops on one SQLite file
    std::atomic<bool> m_outputsQueued{false};
    std::vector<std::uint8_t> m_deviceTypes;
    std::unique_ptr<counting::TEventLog> m_eventLog;
    std::vector<std::unique_ptr<counting::TInput>> m_inputs;
    std::vector<std::unique_ptr<counting::TCounter>> m_counters;
    std::unique_ptr<mail::TMailSender> m_mailer;  // made with the first notice
    std::unique_ptr<line::TCard> m_line;
    // The copy, open while the site database is away; during an offline
    // decision it is swapped into m_database, so the same code decides.
    std::unique_ptr<db::TODBC> m_offlineDb;
    bool m_offlineActive = false;
    bool m_offlineRefusalLogged = false;
    bool m_decidingAgain = false;  // a card decided again after its connection was lost
};

} // namespace loop
