#include "service/Startup.hpp"

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "config/RegistryEx.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "platform/Paths.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"
#include "platform/SystemdNotify.hpp"
#include "service/Operator.hpp"
#include "service/StatusServer.hpp"

#include <algorithm>
#include <filesystem>
#include <cctype>
#include <exception>

namespace service {

std::string MainLogFileName()
{
    return platform::HomeFolder() + "/log/dadid.log";
}

TServer::TServer(TServerOptions options) : Clock(std::move(options.Clock)) {}

TServer::~TServer() = default;

void TServer::AddLoops(const config::TConnParams& params, const std::string& computerName,
                       const std::string& offlineCopy)
{
    // This computer's own loops first, in the id list for remote opens, then the POE/POF ones.
    std::vector<int> own, payOnFoot;
    {
        db::TODBCStatement s(*MainDatabase);
        for (bool more = s.Exec(ServedLoopsSql(*MainDatabase, computerName)); more; more = s.Next())
            (config::UpperCase(s.AsString("name")) == "POE/POF" ? payOnFoot : own).push_back(s.AsInteger("id"));
    }
    std::string ids;
    for (const int id : own)
        ids += (ids.empty() ? "" : ",") + std::to_string(id);
    LoopIdList = ids.empty() ? std::string() : "(" + ids + ")";
    // The journal and the copy the loops decide with while the site is away.
    StartOffline(params, offlineCopy.empty() ? TMainDatabaseIs::Site : TMainDatabaseIs::Copy);
    const loop::TLoopOptions options{
        .Offline = {.Copy = OfflineCopy.get(), .Journal = Journal.get(), .Computer = computerName},
        .OfflineCopy = offlineCopy,
        .Settings = std::nullopt};
    for (const int id : own)
        Loops.push_back(std::make_unique<loop::TLoop>(*MainLog, id, options));
    for (const int id : payOnFoot)
        Loops.push_back(std::make_unique<loop::TLoop>(*MainLog, id, options));
}

bool TServer::StartUp(platform::TTimer& timMain)
{
    bool result = false;
    std::string failure = "see the log";
    try {
        MainLog = std::make_unique<config::TMessLog>(
            MainLogFileName(),
            config::TMessLog::TOptions{.DeleteOnNewPeriod = true, .Rotate = true, .ByDayOfMonth = false,
                                       .NoHeader = false});
        TickCount = 0;
        platform::Metrics().Add("velixcard_startup_attempts_total");
        StartStatusListener();
        Plan = std::make_unique<TPlannedTasks>(PlannedTasksFileName(), MainLog.get());
        const config::TConnParams params;
        MainLog->Log("Starting server, Reading Registry");
        MainLog->Log("Connecting to: " + params.Host + ", Database: " + params.Database);
        MainDatabase = std::make_unique<db::TODBC>();
        MainDatabase->BindColumns = true;
        MainConnection = db::MakeConnection(params, *MainDatabase, MainLog.get(), "startup");
        const bool connected = MainConnection->EnsureConnected();
        if (!connected && StartFromCopy(params)) {
            result = true;
        } else if (!connected) {
            MainLog->Log("Failed connection, check ODBC install and parameters, retrying in 20 seconds", config::TLevel::Error);
            failure = "no connection to the database";
        } else {
            const std::string name = config::LowerCase(config::ComputerName());
            AddLoops(params, name);
            if (!Loops.empty())
                MainLog->Log("Loops FOUND for computer name \"" + name + "\"");
            else
                MainLog->Log("No loops found for this computer name \"" + name + "\"", config::TLevel::Error);
            failure = "no loops for the computer name \"" + name + "\"";
            db::TODBCStatement s(*MainDatabase);
            if (s.Exec("UPDATE settings SET reset_dadid = 0") && s.Eof())
                s.Exec("INSERT into settings (reset_dadid) values (0)");
            result = !Loops.empty();
        }
    } catch (const std::exception& e) {
        if (MainLog)
            MainLog->Log(std::string("StartUp - Exception: ") + e.what(), config::TLevel::Error);
        failure = e.what();
        result = false;
    }
    timMain.SetEnabled(result);
    Started = result;
    platform::SiteState().SetStarted(result, failure);
    platform::Metrics().Set("velixcard_started", {}, result ? 1 : 0);
    if (result)
        PublishSiteState();
    if (result) {
        MainLog->Log("Started!");
        const int loops = static_cast<int>(Loops.size());
        platform::NotifyStatus(config::Format("Started, %d loop%s", loops, loops == 1 ? "" : "s"));
    } else {
        platform::NotifyStatus("Start-up failed, retrying: " + failure);
        ShutDown(timMain);
    }
    return result;
}

bool TServer::StartFromCopy(const config::TConnParams& params)
{
    const config::TOfflineParams offline = config::ReadOfflineParams();
    if (!offline.Decisions)
        return false;
    const std::string copyPath = db::OfflineFolder() + "/copy.db";
    std::string why;
    if (!db::TOfflineCopy(offline, copyPath, std::string(), *MainLog).Usable(&why)) {
        MainLog->Log("No start from the offline copy: " + why, config::TLevel::Warning);
        return false;
    }
    if (!db::ConnectLocalFile(*MainDatabase, copyPath, db::TLocalFile::Copy))
        return false;
    MainLog->Log("The site database is away: starting from the offline copy");
    const std::string name = config::LowerCase(config::ComputerName());
    AddLoops(params, name, copyPath);
    // The start-up binding connects to the site when it answers.
    MainDatabase->Disconnect();
    if (Loops.empty()) {
        MainLog->Log("No loops for this computer name \"" + name + "\" in the offline copy", config::TLevel::Error);
        return false;
    }
    return true;
}

void TServer::StartOffline(const config::TConnParams& params, TMainDatabaseIs mainDatabase)
{
    const config::TOfflineParams offline = config::ReadOfflineParams();
    const std::string journalPath = db::OfflineFolder() + "/journal.db";
    std::error_code ec;
    // A journal left by an outage is replayed even when offline decisions
    // have been switched off since.
    if (!offline.Decisions && !std::filesystem::exists(journalPath, ec))
        return;
    if (mainDatabase == TMainDatabaseIs::Site) {
        db::TODBCStatement s(*MainDatabase);
        s.Run(db::JournalTableSql());
    }
    Journal = std::make_unique<db::TJournal>(journalPath, offline.JournalLimit, *MainLog);
    Replay = std::make_unique<db::TJournalReplay>(*Journal, params, *MainLog);
    Replay->Start();
    if (offline.Decisions && !LoopIdList.empty()) {
        OfflineCopy = std::make_unique<db::TOfflineCopy>(offline, db::OfflineFolder() + "/copy.db",
                                                         "loop_id IN " + LoopIdList, *MainLog);
        OfflineCopy->Start(params, Journal.get());
        MainLog->LogFmt("Offline decisions on: copy refreshed every %d minutes, used up to %d hours old, "
                        "journal of at most %d decisions",
                        offline.RefreshMinutes, offline.MaxAgeHours, offline.JournalLimit);
    }
}

void TServer::StartStatusListener()
{
    if (StatusListener)
        return;
    config::TRegistryEx registry(config::kProductKey);
    registry.ReadOnly = true;
    const std::string listen = config::TrimText(registry.GetStringDef("StatusListen", ""));
    if (listen.empty())
        return;
    auto listener = std::make_unique<TStatusServer>();
    if (listener->Start(listen, *MainLog))
        StatusListener = std::move(listener);
}

void TServer::ShutDown(platform::TTimer& timMain)
{
    if (MainLog)
        MainLog->Log("ShutDown...");
    timMain.SetEnabled(false);
    // Each loop closes its line first, so its threads end before its objects go.
    for (auto& l : Loops)
        l.reset();
    Loops.clear();
    platform::SiteState().ForgetLoops();
    platform::Metrics().ClearGauges();
    platform::Metrics().Set("velixcard_started", {}, 0);
    if (Started)
        platform::SiteState().SetStarted(false, "restarting");
    OfflineCopy.reset();
    Replay.reset();
    Journal.reset();
    MainConnection.reset();
    MainDatabase.reset();
    Plan.reset();
    MainLog.reset();
    Started = false;
}

} // namespace service
