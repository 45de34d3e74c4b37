#pragma once

#include "service/PlannedTasks.hpp"
#include "service/VTService.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace config {
class TConnParams;
class TMessLog;
}
namespace db {
class TJournal;
class TJournalReplay;
class TOfflineCopy;
class TODBC;
class TODBCConn;
class TODBCStatement;
}
namespace loop {
class TLoop;
}

namespace service {

class TStatusServer;

// The process-wide state that start-up creates and shutdown frees, and the
// work of the main timer. Main thread only.
// What a server is made with: the local clock its tasks judge by (tests
// give their own).
struct TServerOptions {
    std::function<platform::TDateTime()> Clock = platform::NowDateTime;
};

class TServer : public TServiceCore {
public:
    explicit TServer(TServerOptions options = {});
    ~TServer() override;

    // True when at least one loop controller was created; a failed attempt
    // frees everything again.
    bool StartUp(platform::TTimer& timMain) override;
    // Idempotent; may be called in any state.
    void ShutDown(platform::TTimer& timMain) override;
    // Restart request, daily resets on each new minute, the device pass on
    // every eighth tick, the loops' outputs on every tick.
    void MainTick(platform::TTimer& timMain) override;

    // The tasks of the tick, on MainDatabase; now is the local time they judge by.
    // The planned tasks answer false when a statement failed: they have not
    // run and are tried again on a later tick.
    bool RestartRequested();
    bool AutoResetTask(platform::TDateTime now);
    bool LotCountReset(platform::TDateTime now);
    void DevicePass();
    bool InScheduleWindow(int deviceId, int dayCode, platform::TDateTime t);
    void RemoteOpenCheck();

    // What the tests and the operator's view read; the server owns them.
    config::TMessLog* Log() const noexcept { return MainLog.get(); }
    db::TODBC* Database() const noexcept { return MainDatabase.get(); }
    const std::vector<std::unique_ptr<loop::TLoop>>& LoopList() const noexcept { return Loops; }
    const std::string& LoopIds() const noexcept { return LoopIdList; }

private:
    // Finds this computer's loops, starts the offline journal and copy they
    // decide with, and sets them up (from the offline copy when it is given).
    void AddLoops(const config::TConnParams& params, const std::string& computerName,
                  const std::string& offlineCopy = std::string());
    // The site database away: the loops set up from the offline copy, when it may be used.
    bool StartFromCopy(const config::TConnParams& params);
    enum class TMainDatabaseIs { Site, Copy };
    void StartOffline(const config::TConnParams& params, TMainDatabaseIs mainDatabase);
    void PublishSiteState();
    void StartStatusListener();
    void RunPlannedTasks(platform::TDateTime now);
    // A device row as the device pass uses it.
    struct TPassDevice {
        int Id = 0;
        int LoopId = 0;
        int Address = 0;
        bool PermOpen = false;
        bool OpenFlag = false;
        double OpenPulse = 0;
    };
    void ServeDevice(loop::TLoop& lane, const TPassDevice& device, bool inWindow);

    // Declared in order of dependence, so that they go in reverse order even
    // without ShutDown: the loops and the manager before the binding it
    // points at, all of them before the log.
    std::unique_ptr<config::TMessLog> MainLog;
    // Kept across restarts: it reports them.
    std::unique_ptr<TStatusServer> StatusListener;
    std::unique_ptr<db::TODBC> MainDatabase;
    std::unique_ptr<db::TODBCConn> MainConnection;
    // Offline operation: the journal (and its replay) whenever it holds
    // entries or offline decisions are on, the copy when they are on.
    std::unique_ptr<db::TJournal> Journal;
    std::unique_ptr<db::TJournalReplay> Replay;
    std::unique_ptr<db::TOfflineCopy> OfflineCopy;
    std::vector<std::unique_ptr<loop::TLoop>> Loops;
    std::string LoopIdList;
    std::unique_ptr<TPlannedTasks> Plan;  // read afresh by each start-up
    int TickCount = 0;
    int LastMinute = 0;  // survives a restart; 0 at process start
    const std::function<platform::TDateTime()> Clock;
    // A planned task failed: tried again every few ticks while connected.
    bool m_plannedTaskFailed = false;
    int m_ticksSinceFailure = 0;
};

// The gateoc day code of a date: Monday = 1 ... Sunday = 7; 9 on a holiday of
// table 2, 8 on any other holiday.
int DayCode(db::TODBC& database, platform::TDateTime t);

// <home>/log/dadid.log
std::string MainLogFileName();

} // namespace service
