// Barcode tickets at exits, tickets issued by spitters, and printer status:
// each decision loads its rows, is judged by the pure rules of Tickets.hpp
// and writes its changes to the target.
#include "access/BarcodeDate.hpp"
#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "counting/EventLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "db/Transaction.hpp"
#include "line/Card.hpp"
#include "loop/LoopEvents.hpp"
#include "loop/Tickets.hpp"
#include "platform/SiteState.hpp"

#include <cmath>

namespace loop {
namespace {

constexpr int kDefaultExitPulse = 5;

// "where barcode='...'" with the text as the builder stores it, so the row
// found is the row written, and with the literal escaped for the database:
// the barcode comes off the wire.
std::string BarcodeWhere(const db::TSql& sql, std::string_view barcode)
{
    return "where barcode='" + sql.EscapeText(config::TrimText(barcode)) + "'";
}

TExitRules ExitRules(const TLoopSettings& s)
{
    return {.GraceMinutes = s.GraceMinutes,
            .ExtendedGraceLanes = s.ExtendedGraceLanes,
            .ExtendedGraceMinutes = s.ExtendedGraceMinutes,
            .FutureGraceMinutes = s.FutureGraceMinutes,
            .FlatRate = s.FlatRate};
}

// The row of a tickinv query, as the issue plan sees it; nullopt for none.
std::optional<TIssueRow> IssueRow(db::TODBC& database, const std::string& where)
{
    db::TODBCStatement row(database);
    if (!row.Exec("select * from tickinv " + where))
        return std::nullopt;
    return TIssueRow{.IssuerId = row.AsInteger("issuerid"), .TakerId = row.AsInteger("takerid")};
}

} // namespace

void TLoopEvents::LogConflictRetry(const db::TODBC& database, const std::string& what, int retry)
{
    m_c.Log.LogFmt(config::TLevel::Warning, "%s lost to another transaction (%s); it runs again (%d of %d)", what,
                   database.LastDiagnostic, retry, db::kConflictRetries);
}

void TLoopEvents::BarcodeEvent(int reader, const std::string& value) noexcept
{
    try {
        m_c.Log.Log("Got BarcodeEvent event!  - " + std::to_string(reader) + " - |" + value + "|");
        if (Connected()) {
            m_copy.reset();  // the next outage opens the newest copy
            CheckBarcode(Site(), reader, value);
        } else {
            // Without a copy: no answer.
            DecideOffline([&](const db::TTarget& copy) { CheckBarcode(copy, reader, value); });
        }
        m_c.Log.Log("");  // writes out the decision's lines
    } catch (...) {
        m_c.Log.Log(config::WithReason("BarcodeEvent Exception!"), config::TLevel::Error);
    }
}

void TLoopEvents::PrinterEvent(int reader, const std::string& value) noexcept
{
    try {
        if (Connected())
            PrinterStatus(reader, value);
    } catch (...) {
        m_c.Log.Log(config::WithReason("PrinterEvent Exception!"), config::TLevel::Error);
    }
}

cardaccess::TDeviceRow TLoopEvents::DeviceRow(db::TODBC& database, int address) const
{
    return cardaccess::ReadDeviceRow(database, m_c.Config.LoopId, address).value_or(cardaccess::TDeviceRow{});
}

void TLoopEvents::CheckBarcode(const db::TTarget& to, int reader, const std::string& barcode, platform::TDateTime now)
{
    TExitState state = TExitState::ReadError;
    int pulse = kDefaultExitPulse;
    const platform::TDateTime date = cardaccess::BarcodeDate(barcode, m_c.Config.Settings.OldTicketFormat, now);
    if (date <= 0) {
        m_c.Log.Add("Unknown or invalid Barcode!", config::TLevel::Warning);
    } else {
        db::TODBC& database = to.Database;
        std::optional<cardaccess::TDeviceRow> device;
        state = db::RunWithConflictRetry(
            database,
            [&] {
                const db::TTransaction check(database);
                if (!LockTicketRow(database, barcode))
                    return TExitState::SystemError;
                device = cardaccess::ReadDeviceRow(database, m_c.Config.LoopId, reader);
                return JudgeExitPass(to, reader, barcode, date, now, device.value_or(cardaccess::TDeviceRow{}));
            },
            [&](int retry) { LogConflictRetry(database, "Ticket " + barcode + ": the exit check", retry); });
        if (database.ConnectionLost) {
            // The database went away: decided from the copy, or not answered,
            // as while it is away.
            if (!to.Journalled)
                DecideOffline([&](const db::TTarget& copy) { CheckBarcode(copy, reader, barcode, now); });
            return;
        }
        if (database.ConflictSeen) {
            m_c.Log.LogFmt(config::TLevel::Error,
                           "Ticket %s: the exit check lost to another transaction %d times; it is not answered", barcode,
                           db::kConflictRetries + 1);
            return;
        }
        if (device)
            pulse = static_cast<int>(std::trunc(device->OpenPulse));
    }
    const bool open = state == TExitState::Accepted;
    const std::string text = ExitReplyText(state);
    m_lastPulse = pulse;
    if (m_c.Line)
        m_c.Line->GateOpenMsg(reader, open, pulse, text);
    m_c.Log.AddFmt("Card1.GateOpenMsg(%d, %s, %d, %s)", reader, open ? "Y" : "N", pulse, text);
    if (open)
        SoftCount(to, reader);
}

// Loads the ticket's row (made at the exit where there is none), judges the
// pass by the exit rules and marks an accepted ticket as taken.
TExitState TLoopEvents::JudgeExitPass(const db::TTarget& to, int reader, const std::string& barcode,
                                      platform::TDateTime date, platform::TDateTime now,
                                      const cardaccess::TDeviceRow& device)
{
    // The lines of a decision are buffered; the handler writes them out once
    // the reader has its answer.
    m_c.Log.Add("Checking BarCode: " + barcode + " ");
    db::TODBC& database = to.Database;
    const db::TSql quoting(database.Kind());
    const std::string where = BarcodeWhere(quoting, barcode);
    db::TODBCStatement ticket(database);
    if (!ticket.Exec("select * from tickinv " + where)) {
        if (database.ConflictSeen || !InsertExitTicket(database, barcode, date))
            return TExitState::SystemError;
        if (!ticket.Exec("select * from tickinv " + where))
            return TExitState::SystemError;
    }
    const int direction = static_cast<int>(device.Direction);
    const int status = ticket.AsInteger("status");
    m_c.Log.AddFmt("Rdr %d St %d Dir %d", reader, status, direction);
    const TExitJudgement judged = JudgeExit(direction, status, BarcodeLane(barcode),
                                            static_cast<int>(platform::MinutesFromTo(date, now)),
                                            ExitRules(m_c.Config.Settings));
    if (judged.State == TExitState::Accepted) {
        db::TSql taken(database.Kind());
        taken.AddInt("takerid", reader);
        taken.AddInt("status", judged.NewStatus);
        // Journalled, the statement waits for the site: the exit's own time, not the replay's.
        if (to.Journalled)
            taken.AddDateTime("out_date", now);
        else
            taken.AddNow("out_date");
        taken.AddNow("l_date");
        db::TODBCStatement update(database);
        update.Exec(taken.BuildSql("tickinv", false, where));
    }
    return judged.State;
}

// The ticket's row, locked first on a server database by an update that
// changes nothing: the same barcode at a second exit waits until this exit has
// committed and then finds the ticket used. An SQLite file's transaction is
// its lock already. False when the lock was lost to another transaction.
bool TLoopEvents::LockTicketRow(db::TODBC& database, const std::string& barcode)
{
    if (!database.Dialect().LockingDecision)
        return true;
    const db::TSql quoting(database.Kind());
    db::TODBCStatement lock(database);
    lock.Exec(database.LockingPrefix() + "UPDATE tickinv SET status = status " + BarcodeWhere(quoting, barcode));
    return !database.ConflictSeen && !database.ConnectionLost;
}

// A barcode not yet in tickinv has no row to lock: its unique key decides
// between two exits reading it at once. The one whose row came second runs
// again and finds the ticket used.
bool TLoopEvents::InsertExitTicket(db::TODBC& database, const std::string& barcode, platform::TDateTime date)
{
    db::TSql row(database.Kind());
    row.AddField("barcode", barcode, true);
    row.AddInt("issuerid", 0);
    row.AddInt("status", kTicketInside);
    row.AddDateTime("in_date", date);
    row.AddNow("l_date");
    db::TODBCStatement insert(database);
    if (insert.ExecSQL(row.BuildSql("tickinv", true, "")) || !insert.Failed())
        return true;
    if (db::IsDuplicateKey(database.LastState, database.LastNative)) {
        database.ConflictSeen = true;
        return false;
    }
    m_c.Log.Log("Ticket " + barcode + ": its row could not be made (" + database.LastDiagnostic + ")",
                config::TLevel::Error);
    return false;
}

void TLoopEvents::RecordTicketIssue(const db::TTarget& to, int reader, const std::string& record,
                                    platform::TDateTime now)
{
    db::TODBC& database = to.Database;
    const bool written = db::RunWithConflictRetry(
        database,
        [&] {
            const db::TTransaction issue(database);
            return WriteTicketIssue(database, record, now);
        },
        [&](int retry) { LogConflictRetry(database, "Ticket issue " + record + ":", retry); });
    if (database.ConnectionLost && !to.Journalled &&
        DecideOffline([&](const db::TTarget& copy) { RecordTicketIssue(copy, reader, record, now); }))
        return;
    if (written)
        SoftCount(to, reader);
}

// False only when the tickinv write failed; an invalid record is logged and
// counts all the same.
bool TLoopEvents::WriteTicketIssue(db::TODBC& database, const std::string& record, platform::TDateTime now)
{
    const auto issue = SplitIssueRecord(record);
    if (!issue) {
        m_c.Log.Log("Invalid or unknown value?", config::TLevel::Warning);
        return true;
    }
    const platform::TDateTime issued = cardaccess::TwoYearDate(std::string_view(issue->Barcode).substr(0, 8), now);
    const int lane = BarcodeLane(issue->Barcode);
    m_c.Log.LogFmt("Bar:%s Date:%s Lane:%d Ticket:%s ... BackOut:%s OnLine:%s", issue->Barcode,
                   TicketTimeText(issued), lane, issue->Ticket, issue->BackedOut ? "Y" : "N",
                   issue->OffLine ? "N" : "Y");
    const int t = config::TextToInt(issue->Ticket);
    if (!LockTicketRow(database, issue->Barcode))
        return false;  // runs again

    db::TSql row(database.Kind());
    std::string where = BarcodeWhere(row, issue->Barcode);
    const bool update = MoveOlderTicketAside(database, *issue, t, where);
    if (update) {
        m_c.Log.Log("TickInv Record Found! Updating: " + where);
    } else {
        row.AddInt("status", kTicketInside);
        row.AddInt("security", 1);
    }
    if (issue->BackedOut) {
        row.SetInt("status", kTicketUsed, false);
        row.AddDateTime("out_date", issued);
        row.AddInt("takerid", lane);
    }
    row.AddField("barcode", issue->Barcode, true);
    row.AddInt("ticket", t);
    row.AddDateTime("in_date", issued);
    row.AddInt("issuerid", lane);
    row.AddInt("online", issue->OffLine ? 0 : 1);
    row.AddNow("l_date");
    db::TODBCStatement write(database);
    if (write.Exec(row.BuildSql("tickinv", !update, where)))
        return true;
    // An exit made the row first: the issue runs again and completes it.
    if (db::IsDuplicateKey(database.LastState, database.LastNative))
        database.ConflictSeen = true;
    return false;
}

// Loads the rows the record meets (its barcode's, its ticket number's), plans
// by PlanIssue and moves an older row aside. True when the row found is to be
// completed (where then names it).
bool TLoopEvents::MoveOlderTicketAside(db::TODBC& database, const TIssueRecord& issue, int ticketNo, std::string& where)
{
    const auto byBarcode = IssueRow(database, where);
    const std::string ticketWhere = config::Format("where ticket=%d and issuerid is null", ticketNo);
    const auto byTicket = byBarcode ? std::nullopt : IssueRow(database, ticketWhere);
    const TIssuePlan plan = PlanIssue(issue, byBarcode, byTicket);
    if (plan.ByTicket)
        where = ticketWhere;
    db::TSql change(database.Kind());
    switch (plan.Aside) {
    case TIssuePlan::TAside::None:
        return plan.CompleteExitRow;
    case TIssuePlan::TAside::Barcode:
        change.AddField("barcode", AsideBarcode(database, issue.Barcode), true);
        break;
    case TIssuePlan::TAside::Ticket:
        change.AddInt("ticket", -ticketNo);
        break;
    }
    db::TODBCStatement aside(database);
    aside.Exec(change.BuildSql("tickinv", false, where));
    return false;
}

// The barcode an older row is moved aside to: the barcode with "*", or with
// more where a row was moved aside before (the barcode is unique).
std::string TLoopEvents::AsideBarcode(db::TODBC& database, const std::string& barcode)
{
    constexpr int kMostStars = 4;
    const db::TSql quoting(database.Kind());
    std::string aside = barcode + "*";
    for (int stars = 1; stars < kMostStars; ++stars, aside += "*") {
        db::TODBCStatement taken(database);
        if (!taken.Exec("select barcode from tickinv " + BarcodeWhere(quoting, aside)))
            break;
    }
    return aside;
}

void TLoopEvents::PrinterStatus(int reader, const std::string& value)
{
    const int loopId = m_c.Config.LoopId;
    const std::string when = TicketTimeText(platform::NowDateTime());
    const TPrinterWords words = ParsePrinterValue(value);
    const int s1 = words.First, s2 = words.Second;
    if (words.Two)
        m_c.Log.LogFmt("PStat:%d %d Reader: %d Date:%s ... Status:%s 2nd: %s", s1, s2, reader, when,
                       PrinterStatusText(s1), PrinterStatusText(s2));
    else
        m_c.Log.LogFmt("PStat:%d Reader: %d Date:%s ... Status:%s", s1, reader, when, PrinterStatusText(s1));
    if (m_c.EventLog)
        m_c.EventLog->Write("PTR", counting::ekPrinter, reader);
    platform::SiteState().SetPrinter(loopId, reader,
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
    db::TODBCStatement update(m_c.Database);
    update.Exec(sql.BuildUpdate("UPDATE device", config::Format("WHERE loop_id = %d and addr_ess = %d", loopId, reader)));
}

} // namespace loop
