// The work of the main timer: restart requests, daily resets, the gate
// schedule, remote opens, the heartbeat and the loops' periodic work.
#include "access/AccessRules.hpp"
#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "config/RegistryEx.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "service/Operator.hpp"
#include "service/Startup.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Journal.hpp"
#include "platform/SiteState.hpp"
#include "platform/Metrics.hpp"

#include <cmath>
#include <set>
#include <optional>

namespace service {
namespace {

constexpr int kDevicePassTicks = 8;  // about every six seconds

// Seconds since midnight of a time-of-day text "H:MM[:SS[.fff]]"; nullopt
// for NULL, junk, a time outside the day, or a date part unless allowDate.
std::optional<long> SecondOfDayText(std::string_view text, bool allowDate)
{
    std::string t = config::TrimText(text);
    if (t.size() > 11 && t[4] == '-' && t[7] == '-' && t[10] == ' ') {
        if (!allowDate)
            return std::nullopt;
        t.erase(0, 11);
    }
    if (const auto dot = t.find('.'); dot != std::string::npos)
        t.resize(dot);
    int fields[3] = {0, 0, 0};
    std::size_t count = 0, start = 0;
    for (;;) {
        const auto colon = t.find(':', start);
        const std::string_view field = std::string_view(t).substr(start, colon - start);
        if (count == 3 || field.empty() || field.size() > 2 ||
            field.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        fields[count++] = config::TextToInt(field);
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (count < 2 || !platform::IsValidTime(fields[0], fields[1], fields[2]))
        return std::nullopt;
    return fields[0] * 3600L + fields[1] * 60L + fields[2];
}


// Whether a planned task whose time of day is in a column is due now, and for
// which date; never for NULL or a value that is no time of day.
std::optional<std::string> DueOccurrence(const TPlannedTasks& plan, const std::string& task,
                                         db::TODBCStatement& row, const char* column, platform::TDateTime now)
{
    const auto at = SecondOfDayText(row.AsString(column), true);
    return at ? plan.Due(task, *at, now) : std::nullopt;
}

constexpr const char* kResetTask = "reset";
// A failed planned task is tried again on every eighth tick (about six
// seconds) while the database is connected, so an outage does not flood the log.
constexpr int kPlannedRetryTicks = 8;

} // namespace

int DayCode(db::TODBC& database, platform::TDateTime t)
{
    return cardaccess::DayCode(cardaccess::ReadHolidayTable(database, t), t);
}

void TServer::MainTick(platform::TTimer& timMain)
{
    if (RestartRequested()) {
        // The loops finish this pass and every event already handed over
        // before they go.
        for (auto& l : Loops)
            l->PostUpdateOutputs();
        ShutDown(timMain);
        return;
    }
    // The wall clock is read once per tick; timers and rhythms count ticks.
    const platform::TDateTime now = Clock();
    const int minute = platform::DecodeDateTime(now).Minute;
    if (minute == LastMinute) {
        RemoteOpenCheck();
        if (m_plannedTaskFailed && ++m_ticksSinceFailure >= kPlannedRetryTicks && MainDatabase->Connected)
            RunPlannedTasks(now);
    } else {
        LastMinute = minute;
        RunPlannedTasks(now);
        for (auto& l : Loops)
            l->Post([&lane = *l] { lane.Events().SyncTimeDate(); });
    }
    if (++TickCount >= kDevicePassTicks) {
        DevicePass();
        PublishSiteState();
        TickCount = 0;
    }
    // On the loops' workers: the tick never waits for a loop's database.
    for (auto& l : Loops)
        l->PostUpdateOutputs();
}

// The lots, the start-up connection and the offline state for the status
// listener, on the start-up connection: one query per device pass.
void TServer::PublishSiteState()
{
    const bool up = MainConnection && MainConnection->EnsureConnected();
    platform::SiteState().SetMainDatabase(up);
    platform::Metrics().Set("velixcard_database_connected", {{"connection", "startup"}}, up ? 1 : 0);
    if (up) {
        std::vector<platform::TSiteState::TLot> lots;
        db::TODBCStatement lot(*MainDatabase);
        for (bool more = lot.Exec("SELECT * FROM lot ORDER BY id"); more; more = lot.Next()) {
            const std::string name = LotName(lot);
            lots.push_back({lot.AsInteger("id"), name, lot.AsInteger("lot_count"), lot.AsInteger("max_capacity")});
            const platform::TMetrics::TLabels labels{{"lot", lot.AsString("id")}, {"name", name}};
            platform::Metrics().Set("velixcard_lot_occupancy", labels, lot.AsInteger("lot_count"));
            platform::Metrics().Set("velixcard_lot_capacity", labels, lot.AsInteger("max_capacity"));
        }
        platform::SiteState().SetLots(std::move(lots));
    }
    const long long age =
        OfflineCopy && OfflineCopy->ReadAt() > 0 ? platform::SecondsBetween(OfflineCopy->ReadAt(), Clock()) : -1;
    const long long depth = Journal ? static_cast<long long>(Journal->Depth()) : 0;
    platform::SiteState().SetOffline(OfflineCopy != nullptr, age, depth);
    if (OfflineCopy)
        platform::Metrics().Set("velixcard_offline_copy_age_seconds", {}, static_cast<double>(age));
    if (Journal)
        platform::Metrics().Set("velixcard_offline_journal_depth", {}, static_cast<double>(depth));
}

void TServer::RunPlannedTasks(platform::TDateTime now)
{
    if (Loops.empty() || !Loops.front()->Config().Settings.AutoReset)
        return;
    const bool reset = AutoResetTask(now);
    const bool counts = LotCountReset(now);
    m_plannedTaskFailed = !reset || !counts;
    m_ticksSinceFailure = 0;
}

bool TServer::RestartRequested()
{
    if (!MainConnection || !MainConnection->EnsureConnected())
        return false;
    db::TODBCStatement s(*MainDatabase);
    return s.Exec("SELECT reset_dadid FROM settings") && s.AsBool("reset_dadid");
}

bool TServer::AutoResetTask(platform::TDateTime now)
{
    db::TODBCStatement settings(*MainDatabase);
    if (!settings.Exec("SELECT * FROM settings"))
        return !settings.Failed();
    const bool passback = settings.AsBool("AUTO_RESET");
    const bool groups = settings.AsBool("AUTO_RESET_GROUP");
    const bool pathways = settings.AsBool("AUTO_RESET_PATHWAY");
    std::string assign, description;
    if (passback) {
        assign += "in_lot=0";
        description += "Passback ";
    }
    if (groups)
        description += "Groups ";
    if (pathways) {
        if (!assign.empty())
            assign += ",";
        assign += "in_gate=-1";
        description += "Pathways ";
    }
    // One-off requests replace the plan's description.
    const bool passbackNow = settings.AsBool("AUTO_NOW");
    const bool groupsNow = settings.AsBool("AUTO_NOW_GRP");
    if (passbackNow || groupsNow)
        description.clear();
    if (passbackNow) {
        assign = "in_lot=0";
        description += "Passback ";
    }
    if (groupsNow)
        description = "Groups ";
    if (description.empty())
        return true;
    const auto occurrence = DueOccurrence(*Plan, kResetTask, settings, "reset_time", now);
    if (!occurrence && !passbackNow && !groupsNow)
        return true;
    db::TODBCStatement update(*MainDatabase);
    bool ok = true;
    if (!assign.empty())
        ok = update.Exec("UPDATE card SET " + assign) && ok;
    if (groups || groupsNow)
        ok = update.Exec("UPDATE card_pool SET cur_inlot=0") && ok;
    if (passbackNow)
        ok = settings.Exec("UPDATE settings SET auto_now = 0") && ok;
    if (groupsNow)
        ok = settings.Exec("UPDATE settings SET auto_now_grp = 0") && ok;
    if (!ok) {
        MainLog->Log("Auto Reset not done, tried again shortly: " + description, config::TLevel::Warning);
        return false;
    }
    MainLog->Log("Auto Reset: " + description);
    if (occurrence)
        Plan->MarkRun(kResetTask, *occurrence);
    return true;
}

bool TServer::LotCountReset(platform::TDateTime now)
{
    db::TODBCStatement lots(*MainDatabase);
    bool more = lots.Exec("SELECT * FROM lot");
    bool ok = !lots.Failed();
    for (; more; more = lots.Next()) {
        const int id = lots.AsInteger("id");
        db::TODBCStatement update(*MainDatabase);
        const std::string countTask = "lot-count/" + std::to_string(id);
        if (lots.AsBool("AUTO_R_COUNT")) {
            if (const auto due = DueOccurrence(*Plan, countTask, lots, "auto_r_time", now)) {
                if (update.ExecFmt("UPDATE lot SET lot_count = %d WHERE id = %d", lots.AsInteger("reset_amt"), id))
                    Plan->MarkRun(countTask, *due);
                else
                    ok = false;
            }
        }
        const std::string devicesTask = "device-counts/" + std::to_string(id);
        if (lots.AsBool("cnt_reset_flag")) {
            if (const auto due = DueOccurrence(*Plan, devicesTask, lots, "cnt_reset_time", now)) {
                const int amount = lots.AsInteger("cnt_reset_amt");
                if (update.ExecFmt("UPDATE device SET count1 = %d, count2 = %d, count3 = %d, count4 = %d, "
                                   "count5 = %d, count_soft = %d WHERE lot_id = %d",
                                   amount, amount, amount, amount, amount, amount, id))
                    Plan->MarkRun(devicesTask, *due);
                else
                    ok = false;
            }
        }
    }
    return ok;
}

namespace {

// Whether x (seconds of the day) lies in a gateoc window of start and end
// times as read; a time with a date part is no time of day and never matches.
bool InWindow(std::string_view start, std::string_view end, long x)
{
    const auto s = SecondOfDayText(start, false);
    const auto e = SecondOfDayText(end, false);
    if (!s || !e || *s == *e)
        return false;
    return *s < *e ? (*s <= x && x <= *e) : (x >= *s || x <= *e);
}

} // namespace

void TServer::DevicePass()
{
    const platform::TDateTime t = Clock();
    const int dayCode = DayCode(*MainDatabase, t);
    const db::TSql quoting(MainDatabase->Kind());
    db::TODBCStatement heartbeat(*MainDatabase);
    // The computer name is escaped like any other text literal.
    heartbeat.Exec("UPDATE " + loop::LoopTable(*MainDatabase) + " SET lastupdate={fn now()} WHERE name='" +
                   quoting.EscapeText(config::LowerCase(config::ComputerName())) + "'");
    if (Loops.empty())
        return;
    std::string loopIds;
    for (const auto& l : Loops)
        loopIds += (loopIds.empty() ? "" : ",") + std::to_string(l->LoopId());
    // Today's windows and the devices of every loop, one query each, however many devices.
    const long x = platform::SecondOfDay(t);
    std::set<int> held;
    db::TODBCStatement windows(*MainDatabase);
    for (bool more = windows.ExecFmt("SELECT gateoc.device_id, gateoc.start_time, gateoc.end_time FROM gateoc, device "
                                     "WHERE gateoc.device_id = device.id and device.loop_id in (%s) and "
                                     "gateoc.dayofweek = %d",
                                     loopIds, dayCode);
         more; more = windows.Next())
        if (InWindow(windows.AsString("start_time"), windows.AsString("end_time"), x))
            held.insert(windows.AsInteger("device_id"));
    std::vector<TPassDevice> devices;
    db::TODBCStatement rows(*MainDatabase);
    for (bool more = rows.ExecFmt("SELECT * FROM device WHERE loop_id in (%s) ORDER BY id", loopIds); more;
         more = rows.Next())
        devices.push_back({.Id = rows.AsInteger("id"),
                           .LoopId = rows.AsInteger("loop_id"),
                           .Address = rows.AsInteger("addr_ess"),
                           .PermOpen = rows.AsBool("perm_open"),
                           .OpenFlag = rows.AsBool("open_flag"),
                           .OpenPulse = rows.AsFloat("open_pulse")});
    for (auto& l : Loops)
        for (const auto& d : devices)
            if (d.LoopId == l->LoopId())
                ServeDevice(*l, d, held.count(d.Id) > 0);
}

// Holds or releases one gate by the schedule and perm_open, and carries out
// its remote open request unless the gate is held anyway.
void TServer::ServeDevice(loop::TLoop& lane, const TPassDevice& device, bool inWindow)
{
    const bool hold = inWindow || device.PermOpen;
    db::TODBCStatement update(*MainDatabase);
    if (lane.ForceGate(device.Address, hold))
        update.ExecFmt("UPDATE device SET gate_up=%d WHERE id=%d", hold ? 1 : 0, device.Id);
    if (device.OpenFlag) {
        update.ExecFmt("UPDATE device SET open_flag = 0 WHERE id = %d", device.Id);
        if (!hold)
            lane.Post([&lane, address = device.Address, pulse = static_cast<int>(std::trunc(device.OpenPulse))] {
                lane.Events().ManualOpen(address, pulse);
            });
    }
}

bool TServer::InScheduleWindow(int deviceId, int dayCode, platform::TDateTime t)
{
    const long x = platform::SecondOfDay(t);
    db::TODBCStatement windows(*MainDatabase);
    for (bool more = windows.ExecFmt("SELECT * FROM gateoc WHERE device_id = %d and dayofweek = %d", deviceId, dayCode);
         more; more = windows.Next())
        if (InWindow(windows.AsString("start_time"), windows.AsString("end_time"), x))
            return true;
    return false;
}

void TServer::RemoteOpenCheck()
{
    if (LoopIdList.empty() || !MainConnection || !MainConnection->EnsureConnected())
        return;
    db::TODBCStatement s(*MainDatabase);
    if (s.ExecFmt("SELECT * FROM device WHERE loop_id in %s and open_flag<>0", LoopIdList))
        DevicePass();
}

} // namespace service
