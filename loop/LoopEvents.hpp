#pragma once

#include "access/CardDecision.hpp"
#include "db/ODBCConn.hpp"
#include "db/Target.hpp"
#include "loop/LoopConfig.hpp"
#include "loop/Tickets.hpp"
#include "platform/LocalTime.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace config {
class TMessLog;
}
namespace counting {
class TCounter;
class TEventLog;
class TInput;
}
namespace db {
class TODBC;
}
namespace line {
class TCard;
}
namespace mail {
class TMailSender;
}

namespace loop {

// What a loop's handlers work with: its fixed configuration and the objects
// its set-up made, owned by the loop.
struct TLoopContext {
    const TLoopConfig& Config;
    config::TMessLog& Log;
    db::TODBC& Database;  // the loop's own connection to the site
    db::TODBCConn& Connection;
    line::TCard* Line = nullptr;  // none while the database was unreachable at set-up
    counting::TEventLog* EventLog = nullptr;
    const std::vector<std::unique_ptr<counting::TCounter>>& Counters;  // by address
    const std::vector<std::unique_ptr<counting::TInput>>& Inputs;      // by address
};

// The handlers of one loop's events and its periodic work. On the loop's
// worker, one at a time (the main thread only through the loop's Post and
// Invoke). Each decision is made against a target: the site when it answers,
// else the offline copy with the journal.
class TLoopEvents {
public:
    explicit TLoopEvents(TLoopContext context);
    ~TLoopEvents();
    TLoopEvents(const TLoopEvents&) = delete;
    TLoopEvents& operator=(const TLoopEvents&) = delete;

    // The line's events.
    void CardDataEvent(int reader, const std::string& data) noexcept;
    void MemoryDataEvent(int reader, const std::string& data) noexcept;
    void BarcodeEvent(int reader, const std::string& value) noexcept;
    void PrinterEvent(int reader, const std::string& value) noexcept;
    void CounterEvent(int reader, const std::string& value) noexcept;
    void InputEvent(int reader, const std::string& value) noexcept;
    void OfflineEvent(int reader) noexcept;
    void PowerUpEvent(int reader) noexcept;

    // Periodic work handed over by the main tick.
    void UpdateOutputs() noexcept;
    void SyncTimeDate() noexcept;
    void ManualOpen(int address, int pulse);

    // The decisions, against a target (Site() for the site database).
    db::TTarget Site() const noexcept { return {m_c.Database, false}; }
    void CardEvent(const db::TTarget& to, int reader, const std::string& data);
    void MemoryCardEvent(const db::TTarget& to, int reader, const std::string& data);
    // Barcode tickets at exits and tickets issued by spitters; now is the
    // local clock they judge by.
    void CheckBarcode(const db::TTarget& to, int reader, const std::string& barcode,
                      platform::TDateTime now = platform::NowDateTime());
    void RecordTicketIssue(const db::TTarget& to, int reader, const std::string& record,
                           platform::TDateTime now = platform::NowDateTime());
    void PrinterStatus(int reader, const std::string& value);
    void SoftCount(const db::TTarget& to, int address);
    // The text for a decided card, from the rows its decision read.
    std::string DeviceMessage(int result, double number, const cardaccess::TCardOutputs& decided) const;
    // True when the card's parking space took over the gate (lift outputs).
    bool SpecialOutput(const db::TTarget& to, int address, int spaceNo, int pulse);

    // The open pulse of the last live card decided on this loop: low
    // security opens with it.
    int LastPulse() const noexcept { return m_lastPulse; }
    // The loop's connection state for the monitoring.
    void PublishDatabase(bool up) noexcept;

private:
    using TDecide = std::function<void(const db::TTarget&)>;
    bool Connected(db::TODBCConn::TCheck check = db::TODBCConn::TCheck::Probe) noexcept;
    void LowSecurityOpen(int reader, const std::string& data);
    bool DecisionSurvived(const db::TTarget& to, int reader, const std::string& data, double number,
                          const cardaccess::TCardOutputs& out);
    bool Reconnected() noexcept;
    void PublishDecision(const db::TTarget& to, int reader, const std::string& card, int result,
                         std::chrono::steady_clock::time_point handled,
                         std::chrono::steady_clock::time_point decided) noexcept;
    // The site database is away: the event is decided against the local copy
    // when there is a usable one, else as without a copy.
    void DecideWithoutDatabase(int reader, const std::string& data, const TDecide& decide);
    bool DecideOffline(const TDecide& decide);
    void LogOfflineDecision(const db::TTarget& to, const std::string& what, int reader, int result);
    void NotifyByMail(const std::string& body) noexcept;
    cardaccess::TDeviceRow DeviceRow(db::TODBC& database, int address) const;
    counting::TCounter* CounterAt(int address) const noexcept;
    void LogConflictRetry(const db::TODBC& database, const std::string& what, int retry);
    bool LockTicketRow(db::TODBC& database, const std::string& barcode);
    TExitState JudgeExitPass(const db::TTarget& to, int reader, const std::string& barcode, platform::TDateTime date,
                             platform::TDateTime now, const cardaccess::TDeviceRow& device);
    bool InsertExitTicket(db::TODBC& database, const std::string& barcode, platform::TDateTime date);
    bool WriteTicketIssue(db::TODBC& database, const std::string& record, platform::TDateTime now);
    bool MoveOlderTicketAside(db::TODBC& database, const TIssueRecord& issue, int ticketNo, std::string& where);
    std::string AsideBarcode(db::TODBC& database, const std::string& barcode);

    TLoopContext m_c;
    int m_lastPulse = 0;
    int m_syncCount = 0;
    bool m_offlineRefusalLogged = false;  // once per outage
    bool m_decidingAgain = false;         // a card decided again after its connection was lost
    std::unique_ptr<db::TODBC> m_copy;    // the offline copy, open while the site database is away
    std::unique_ptr<mail::TMailSender> m_mailer;  // made with the first notice
};

} // namespace loop
