// velixcard STATUS: the site as the database shows it now.
#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "config/RegistryEx.hpp"
#include "db/ODBC.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "loop/Tickets.hpp"
#include "platform/LocalTime.hpp"
#include "service/Operator.hpp"

#include <filesystem>

namespace service {
namespace {

std::string Age(db::TODBCStatement& row, const char* column)
{
    if (row.AsString(column).empty())
        return "never";
    const long long seconds = platform::SecondsBetween(row.AsDateTime(column), platform::NowDateTime());
    return seconds < 120 ? std::to_string(seconds) + " s ago" : std::to_string(seconds / 60) + " min ago";
}

std::string Printer(db::TODBCStatement& device)
{
    if (device.AsString("ptr_stat").empty())
        return "-";
    std::string text = loop::PrinterStatusText(device.AsInteger("ptr_stat"));
    if (device.AsInteger("ptr_stat2") != 0)
        text += " / " + loop::PrinterStatusText(device.AsInteger("ptr_stat2"));
    return text;
}

std::string LastTransaction(db::TODBC& odbc, int deviceId)
{
    db::TODBCStatement t(odbc);
    if (!t.ExecSQL(config::Format("SELECT * FROM trans WHERE device_id = %d ORDER BY dat_e DESC", deviceId)))
        return "-";
    return db::DateTimeText(t.AsDateTime("dat_e")) + "  " + config::FloatToStr(t.AsFloat("cardno")) + "  " +
           t.AsString("error_desc");
}

// A note for a table that could not be read (missing in a partial schema).
void NoteUnreadable(std::FILE* out, db::TODBC& odbc, db::TODBCStatement& s, const char* table)
{
    if (!s.Eof())
        std::fprintf(out, "(the %s table cannot be read: %s)\n", table, odbc.LastDiagnostic.c_str());
}

} // namespace

std::vector<std::string> PrintOfflineState(std::FILE* out)
{
    const config::TOfflineParams params = config::ReadOfflineParams();
    const std::string folder = db::OfflineFolder();
    config::TMessLog quiet(folder + "/operator.log", config::TMessLog::TOptions{});
    std::vector<std::string> warnings;
    std::error_code ec;
    std::fprintf(out, "Offline decisions: %s\n", params.Decisions ? "on" : "off");
    const db::TOfflineCopy copy(params, folder + "/copy.db", std::string(), quiet);
    if (copy.ReadAt() > 0) {
        std::string why;
        const bool usable = copy.Usable(&why);
        std::fprintf(out, "Offline copy: read %s, %.1f hours ago, %lld bytes; %s\n",
                     db::DateTimeText(copy.ReadAt()).c_str(), (platform::NowDateTime() - copy.ReadAt()) * 24,
                     static_cast<long long>(std::filesystem::file_size(copy.Path(), ec)),
                     usable ? "usable" : ("not usable: " + why).c_str());
        if (!usable && params.Decisions)
            warnings.push_back("the offline copy is not usable: " + why);
    } else {
        std::fprintf(out, "Offline copy: none yet\n");
    }
    if (const auto problem = db::LastRefreshProblem(copy.Path())) {
        std::fprintf(out, "Offline copy: the last refresh failed at %s\n", problem->c_str());
        if (params.Decisions)
            warnings.push_back("the offline copy cannot be made: " + *problem);
    }
    const std::string journalPath = folder + "/journal.db";
    if (!std::filesystem::exists(journalPath, ec)) {
        std::fprintf(out, "Offline journal: empty\n\n");
        return warnings;
    }
    db::TJournal journal(journalPath, params.JournalLimit, quiet);
    if (journal.Depth() == 0)
        std::fprintf(out, "Offline journal: empty\n\n");
    else
        std::fprintf(out, "Offline journal: %d of at most %d entries waiting for the site database, oldest %s\n\n",
                     static_cast<int>(journal.Depth()), params.JournalLimit,
                     db::DateTimeText(journal.OldestDecision()).c_str());
    return warnings;
}

int RunStatus(std::FILE* out)
{
    for (const auto& w : PrintOfflineState(out))
        std::fprintf(out, "Warning: %s\n\n", w.c_str());
    const config::TConnParams params(std::string(), config::TConnParams::TAccess::ReadOnly);
    std::string problem;
    db::TSessionTls tls;
    const auto odbc = db::ConnectOnce(params, problem, &tls);
    if (!odbc) {
        std::fprintf(out, "No connection to the database: %s\n", problem.c_str());
        return 1;
    }
    const std::string name = config::LowerCase(config::ComputerName());
    std::fprintf(out, "Site database %s on %s, computer name \"%s\", %s\n", params.Database.c_str(),
                 params.Host.c_str(), name.c_str(), db::DateTimeText(platform::NowDateTime()).c_str());
    std::fprintf(out, "Connection TLS: %s (DatabaseTLS %s)\n\n", db::DescribeTls(tls).c_str(),
                 config::ToText(params.TlsMode()));

    TTextTable loops({"Loop", "Name", "Port", "Heartbeat"});
    TTextTable devices({"Loop", "Addr", "Device", "Type", "Online", "Gate", "Printer", "Last transaction"});
    db::TODBCStatement l(*odbc);
    bool anyLoop = false;
    for (bool more = l.ExecSQL(ServedLoopsSql(*odbc, name)); more; more = l.Next()) {
        anyLoop = true;
        loops.Add({l.AsString("id"), l.AsString("name"), l.AsString("port"), Age(l, "lastupdate")});
        db::TODBCStatement d(*odbc);
        for (bool dev = d.ExecSQL("SELECT * FROM device WHERE loop_id = " + std::to_string(l.AsInteger("id")) +
                                  " ORDER BY addr_ess");
             dev; dev = d.Next())
            devices.Add({l.AsString("id"), d.AsString("addr_ess"), d.AsString("name"),
                         loop::DeviceTypeName(d.AsInteger("device_type")), d.AsBool("online_flag") ? "yes" : "NO",
                         d.AsBool("gate_up") || d.AsBool("perm_open") ? "held open" : "-", Printer(d),
                         LastTransaction(*odbc, d.AsInteger("id"))});
    }
    if (!anyLoop) {
        NoteUnreadable(out, *odbc, l, "loop");
        std::fprintf(out, "No loops for this computer.\n\n");
    }
    std::fprintf(out, "Loops:\n");
    loops.Print(out);
    std::fprintf(out, "Devices:\n");
    devices.Print(out);
    TTextTable lots({"Lot", "Name", "Count", "Capacity"});
    db::TODBCStatement lot(*odbc);
    bool anyLot = false;
    for (bool more = lot.ExecSQL("SELECT * FROM lot ORDER BY id"); more; more = lot.Next(), anyLot = true)
        lots.Add({lot.AsString("id"), LotName(lot), lot.AsString("lot_count"),
                  lot.AsString("max_capacity")});
    if (!anyLot)
        NoteUnreadable(out, *odbc, lot, "lot");
    std::fprintf(out, "Lots:\n");
    lots.Print(out);
    return 0;
}

} // namespace service
