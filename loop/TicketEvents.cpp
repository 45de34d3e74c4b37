// Barcode tickets at exits, tickets issued by spitters, and printer status.
#include "access/BarcodeDate.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Sql.hpp"
#include "db/Transaction.hpp"
#include "loop/Loop.hpp"
#include "loop/Tickets.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <cmath>

namespace loop {
namespace {

constexpr int kDefaultExitPulse = 5;
constexpr int kExtendedLaneBase = 50;  // lanes above it are pay-on-foot exits
constexpr int kStatusInside = 0;
constexpr int kStatusUsed = 2;
constexpr int kDirEntry = 1;

// "where barcode='...'" with the text as the builder stores it, so the row
// found is the row written, and with the literal escaped for the database:
// the barcode comes off the wire.
std::string BarcodeWhere(const db::TSql& sql, std::string_view barcode)
{
    return "where barcode='" + sql.EscapeText(config::TrimText(barcode)) + "'";
}

} // namespace

void TLoop::LogConflictRetry(const std::string& what, int retry)
{
    MessageLog.LogFmt(config::TLevel::Warning, "%s lost to another transaction (%s); it runs again (%d of %d)", what,
                      m_database->LastDiagnostic, retry, db::kConflictRetries);
}

void TLoop::BarcodeEvent(int reader, const std::string& value) noexcept
{
    try {
        MessageLog.Log("Got BarcodeEvent event!  - " + std::to_string(reader) + " - |" + value + "|");
        if (Connected()) {
            m_offlineDb.reset();  // the next outage opens the newest copy
            CheckBarcode(reader, value);
        } else {
            DecideOffline([&] { CheckBarcode(reader, value); });  // without a copy: no answer
        }
        MessageLog.Log("");  // writes out the decision's lines
    } catch (...) {
        MessageLog.Log(config::WithReason("BarcodeEvent Exception!"), config::TLevel::Error);
    }
}

void TLoop::PrinterEvent(int reader, const std::string& value) noexcept
{
    try {
        if (Connected())
            PrinterStatus(reader, value);
    } catch (...) {
        MessageLog.Log(config::WithReason("PrinterEvent Exception!"), config::TLevel::Error);
    }
}

cardaccess::TDeviceRow TLoop::DeviceRow(int address)
{
    return cardaccess::ReadDeviceRow(*m_database, LoopId, address).value_or(cardaccess::TDeviceRow{});
}

bool TLoop::IsExtendedGraceLane(int lane) const
{
    return std::any_of(Settings.ExtendedGraceLanes.begin(), Settings.ExtendedGraceLanes.end(),
                       [lane](int n) { return n + kExtendedLaneBase == lane; });
}

void TLoop::CheckBarcode(int reader, const std::string& barcode, platform::TDateTime now)
{
    TExitState state = TExitState::ReadError;
    int pulse = kDefaultExitPulse;
    const platform::TDateTime date = cardaccess::BarcodeDate(barcode, Settings.OldTicketFormat, now);
    if (date <= 0) {
        MessageLog.Add("Unknown or invalid Barcode!", config::TLevel::Warning);
    } else {
        std::optional<cardaccess::TDeviceRow> device;
        state = db::RunWithConflictRetry(
            *m_database,
            [&] {
                const db::TTransaction check(*m_database);
                if (!LockTicketRow(barcode))
                    return TExitState::SystemError;
                device = cardaccess::ReadDeviceRow(*m_database, LoopId, reader);
                return JudgeExitPass(reader, barcode, date, now, device.value_or(cardaccess::TDeviceRow{}));
            },
            [&](int retry) { LogConflictRetry("Ticket " + barcode + ": the exit check", retry); });
        if (m_database->ConnectionLost) {
            // The database went away: decided from the copy, or not answered,
            // as while it is away.
            if (!m_offlineActive)
                DecideOffline([&] { CheckBarcode(reader, barcode, now); });
            return;
        }
        if (m_database->ConflictSeen) {
            MessageLog.LogFmt(config::TLevel::Error,
                              "Ticket %s: the exit check lost to another transaction %d times; it is not answered",
                              barcode, db::kConflictRetries + 1);
            return;
        }
        if (device)
            pulse = static_cast<int>(std::trunc(device->OpenPulse));
    }
    const bool open = state == TExitState::Accepted;
    const std::string text = ExitReplyText(state);
    LastPulse = pulse;
    if (m_line)
        m_line->GateOpenMsg(reader, open, pulse, text);
    MessageLog.AddFmt("Card1.GateOpenMsg(%d, %s, %d, %s)", reader, open ? "Y" : "N", pulse, text);
    if (open)
        SoftCount(reader);
}

// Finds or creates the ticket's row, applies the exit rules in order and marks
// an accepted ticket as taken.
TExitState TLoop::JudgeExitPass(int reader, const std::string& barcode, platform::TDateTime date,
                                platform::TDateTime now, const cardaccess::TDeviceRow& device)
{
    // The lines of a decision are buffered; the handler writes them out once
    // the reader has its answer.
    MessageLog.Add("Checking BarCode: " + barcode + " ");
    const db::TSql quoting(m_database->Kind());
    const std::string where = BarcodeWhere(quoting, barcode);
    db::TODBCStatement ticket(*m_database);
    if (!ticket.Exec("select * from tickinv " + where)) {
        if (m_database->ConflictSeen || !InsertExitTicket(barcode, date))
            return TExitState::SystemError;
        if (!ticket.Exec("select * from tickinv " + where))
            return TExitState::SystemError;
    }
    const int dir = static_cast<int>(device.Direction);
    const int lane = BarcodeLane(barcode);
    const int st = ticket.AsInteger("status");
    int newStatus = kStatusUsed;
    MessageLog.AddFmt("Rdr %d St %d Dir %d", reader, st, dir);

    TExitState state = TExitState::Accepted;
    if (dir == kDirEntry && st == kStatusInside) {
        state = TExitState::Passback;
    } else if (st == kStatusUsed && dir != kDirEntry) {
        state = TExitState::Used;
    } else if (!(Settings.FlatRate && lane > kExtendedLaneBase)) {
        const int minutes = ElapsedMinutes(date, now);
        int grace = IsExtendedGraceLane(lane) ? Settings.ExtendedGraceMinutes : Settings.GraceMinutes;
        if (dir == kDirEntry && st == kStatusUsed) {
            // A used ticket shown at an entry: back inside only if issued just now.
            grace = 0;
            newStatus = kStatusInside;
        }
        if (minutes > grace || (minutes < 0 && -minutes > Settings.FutureGraceMinutes))
            state = TExitState::Expired;
    }
    if (state == TExitState::Accepted) {
        db::TSql taken(m_database->Kind());
        taken.AddInt("takerid", reader);
        taken.AddInt("status", newStatus);
        // Offline the statement waits in the journal: the exit's own time, not the replay's.
        if (m_offlineActive)
            taken.AddDateTime("out_date", now);
        else
            taken.AddNow("out_date");
        taken.AddNow("l_date");
        db::TODBCStatement update(*m_database);
        update.Exec(taken.BuildSql("tickinv", false, where));
    }
    return state;
}

// The ticket's row, locked first on a server database by an update that
// changes nothing: the same barcode at a second exit waits until this exit has
// committed and then finds the ticket used. An SQLite file's transaction is
// its lock already. False when the lock was lost to another transaction.
bool TLoop::LockTicketRow(const std::string& barcode)
{
    if (m_database->Kind() != db::dkMySql || m_database->IsSQLite())
        return true;
    const db::TSql quoting(m_database->Kind());
    db::TODBCStatement lock(*m_database);
    lock.Exec(m_database->LockingPrefix() + "UPDATE tickinv SET status = status " + BarcodeWhere(quoting, barcode));
    return !m_database->ConflictSeen && !m_database->ConnectionLost;
}

// A barcode not yet in tickinv has no row to lock: its unique key decides
// between two exits reading it at once. The one whose row came second runs
// again and finds the ticket used.
bool TLoop::InsertExitTicket(const std::string& barcode, platform::TDateTime date)
{
    db::TSql row(m_database->Kind());
    row.AddField("barcode", barcode, true);
    row.AddInt("issuerid", 0);
    row.AddInt("status", kStatusInside);
    row.AddDateTime("in_date", date);
    row.AddNow("l_date");
    db::TODBCStatement insert(*m_database);
    if (insert.ExecSQL(row.BuildSql("tickinv", true, "")) || !insert.Failed())
        return true;
    if (db::IsDuplicateKey(m_database->LastState, m_database->LastNative)) {
        m_database->ConflictSeen = true;
        return false;
    }
    MessageLog.Log("Ticket " + barcode + ": its row could not be made (" + m_database->LastDiagnostic + ")",
                   config::TLevel::Error);
    return false;
}

void TLoop::RecordTicketIssue(int reader, const std::string& record, platform::TDateTime now)
{
    const bool written = db::RunWithConflictRetry(
        *m_database,
        [&] {
            const db::TTransaction issue(*m_database);
            return WriteTicketIssue(record, now);
        },
        [&](int retry) { LogConflictRetry("Ticket issue " + record + ":", retry); });
    if (m_database->ConnectionLost && !m_offlineActive && DecideOffline([&] { RecordTicketIssue(reader, record, now); }))
        return;
    if (written)
        SoftCount(reader);
}

// False only when the tickinv write failed; an invalid record is logged and
// counts all the same.
bool TLoop::WriteTicketIssue(const std::string& record, platform::TDateTime now)
{
    const auto issue = SplitIssueRecord(record);
    if (!issue) {
        MessageLog.Log("Invalid or unknown value?", config::TLevel::Warning);
        return true;
    }
    const platform::TDateTime issued = cardaccess::TwoYearDate(std::string_view(issue->Barcode).substr(0, 8), now);
    const int lane = BarcodeLane(issue->Barcode);
    MessageLog.LogFmt("Bar:%s Date:%s Lane:%d Ticket:%s ... BackOut:%s OnLine:%s", issue->Barcode,
                      TicketTimeText(issued), lane, issue->Ticket, issue->BackedOut ? "Y" : "N",
                      issue->OffLine ? "N" : "Y");
    const int t = config::TextToInt(issue->Ticket);
    if (!LockTicketRow(issue->Barcode))
        return false;  // runs again

    db::TSql row(m_database->Kind());
    std::string where = BarcodeWhere(row, issue->Barcode);
    const bool update = MoveOlderTicketAside(*issue, t, where);
    if (update) {
        MessageLog.Log("TickInv Record Found! Updating: " + where);
    } else {
        row.AddInt("status", kStatusInside);
        row.AddInt("security", 1);
    }
    if (issue->BackedOut) {
        row.SetInt("status", kStatusUsed, false);
        row.AddDateTime("out_date", issued);
        row.AddInt("takerid", lane);
    }
    row.AddField("barcode", issue->Barcode, true);
    row.AddInt("ticket", t);
    row.AddDateTime("in_date", issued);
    row.AddInt("issuerid", lane);
    row.AddInt("online", issue->OffLine ? 0 : 1);
    row.AddNow("l_date");
    db::TODBCStatement write(*m_database);
    if (write.Exec(row.BuildSql("tickinv", !update, where)))
        return true;
    // An exit made the row first: the issue runs again and completes it.
    if (db::IsDuplicateKey(m_database->LastState, m_database->LastNative))
        m_database->ConflictSeen = true;
    return false;
}

// An older row with the same barcode or ticket number is renamed or renumbered,
// unless it is the row an exit made before this late (off-line) issue record
// arrived: that row is then completed (true, where names it).
bool TLoop::MoveOlderTicketAside(const TIssueRecord& issue, int ticketNo, std::string& where)
{
    db::TODBCStatement old(*m_database);
    db::TSql change(m_database->Kind());
    if (old.Exec("select * from tickinv " + where)) {
        if (old.AsInteger("issuerid") == 0 && old.AsInteger("takerid") != 0 && issue.OffLine)
            return true;
        change.AddField("barcode", AsideBarcode(issue.Barcode), true);
    } else {
        where = config::Format("where ticket=%d and issuerid is null", ticketNo);
        if (!old.Exec("select * from tickinv " + where))
            return false;
        if (old.AsInteger("takerid") != 0 && issue.OffLine)
            return true;
        change.AddInt("ticket", -ticketNo);
    }
    db::TODBCStatement update(*m_database);
    update.Exec(change.BuildSql("tickinv", false, where));
    return false;
}

// The barcode an older row is moved aside to: the barcode with "*", or with
// more where a row was moved aside before (the barcode is unique).
std::string TLoop::AsideBarcode(const std::string& barcode)
{
    constexpr int kMostStars = 4;
    const db::TSql quoting(m_database->Kind());
    std::string aside = barcode + "*";
    for (int stars = 1; stars < kMostStars; ++stars, aside += "*") {
        db::TODBCStatement taken(*m_database);
        if (!taken.Exec("select barcode from tickinv " + BarcodeWhere(quoting, aside)))
            break;
    }
    return aside;
}

void TLoop::PrinterStatus(int reader, const std::string& value)
{
    const std::string when = TicketTimeText(platform::NowDateTime());
    const TPrinterWords words = ParsePrinterValue(value);
    const int s1 = words.First, s2 = words.Second;
    if (words.Two)
        MessageLog.LogFmt("PStat:%d %d Reader: %d Date:%s ... Status:%s 2nd: %s", s1, s2, reader, when,
                          PrinterStatusText(s1), PrinterStatusText(s2));
    else
        MessageLog.LogFmt("PStat:%d Reader: %d Date:%s ... Status:%s", s1, reader, when, PrinterStatusText(s1));
    if (m_eventLog)
        m_eventLog->Write("PTR", counting::ekPrinter, reader);
    platform::SiteState().SetPrinter(LoopId, reader,
                                     PrinterStatusText(s1) + (words.Two ? " / " + PrinterStatusText(s2) : std::string()));
    const auto first = PrinterColumns(s1), second = PrinterColumns(s2);
    db::TSql sql(db::dkMySql);
    sql.AddInt("ptr_paper", first.Paper);
    sql.AddInt("ptr_hdwr", first.Hardware);
    sql.AddInt("ptr_fail", first.Fail);
    sql.AddInt("ptr_stat", s1);
    sql.AddInt("ptr_paper2", second.Paper);
    sql.AddInt("ptr_hdwr2", second.Hardware);
    sql.AddInt("ptr_fail2", second.Fail);
    sql.AddInt("ptr_stat2", s2);
    db::TODBCStatement update(*m_database);
    update.Exec(sql.BuildUpdate("UPDATE device",
                                config::Format("WHERE loop_id = %d and addr_ess = %d", LoopId, reader)));
}

} // namespace loop
