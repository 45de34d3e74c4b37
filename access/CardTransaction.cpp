#include "access/CardCheck.hpp"

#include "access/CardLoad.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "db/Transaction.hpp"

namespace cardaccess {
namespace {

void AddFirstUse(db::TSql& sql, const TFirstUse& use)
{
    sql.AddInt("date_set", 1);
    sql.AddDateTime("start_dt", use.Start);
    sql.AddDateTime("exp_iry", use.Expiry);
}

std::string CardUpdate(db::TDbKind kind, const TCardChanges& c, double number)
{
    db::TSql sql(kind);
    if (c.FirstUse)
        AddFirstUse(sql, *c.FirstUse);
    if (c.InLot)
        sql.AddInt("in_lot", *c.InLot);
    if (c.DebitLeft)
        sql.AddInt("debit_left", *c.DebitLeft);
    if (c.DebitResetDate)
        sql.AddDateTime("debit_reset_date", *c.DebitResetDate);
    if (c.DebitDate)
        sql.AddDateTime("debit_date", *c.DebitDate);
    if (c.TransDate)
        sql.AddDateTime("trans_dt", *c.TransDate);
    if (c.InGate)
        sql.AddInt("in_gate", *c.InGate);
    // The key as a number: a key read back empty or NULL still makes a
    // statement (that matches nothing) instead of a broken one.
    return sql.BuildUpdate("UPDATE card", config::Format("WHERE number = %f", number));
}

// Text is escaped by the rule of the connected database: the MySQL rule
// would double every backslash in a name stored elsewhere.
std::string TransInsert(db::TDbKind kind, const TCardDecision& d, double number, bool memory)
{
    const TCardOutputs& out = d.Outputs;
    db::TSql row(kind);
    row.AddFloat("card_no", number);
    row.AddDateTime("dat_e", out.TransTime);
    row.AddInt("device_id", out.Device ? out.Device->Id : 0);
    row.AddInt("error_code", d.Result);
    row.AddField("error_desc", AccessResultText(d.Result), true);
    row.AddFloat("cardno", number);
    row.AddField("device_name", out.DeviceName, true);
    row.AddField("first_name", out.FirstName, true);
    row.AddField("last_name", out.Card ? out.Card->LastName : std::string(), true);
    row.AddBool("mem_flag", memory);
    return row.BuildInsert("INSERT INTO trans", "Values", "");
}

// The decision's writes, in order. After a conflict the server has undone the
// transaction: nothing more is written in this attempt, the whole decision
// runs again.
void WriteDecision(db::TODBC& database, const TCardDecision& d, double number, bool memory)
{
    db::TODBCStatement write(database);
    const auto more = [&] { return !database.ConflictSeen; };
    if (d.TypeFirstUse && more()) {
        db::TSql sql(database.Kind());
        AddFirstUse(sql, *d.TypeFirstUse);
        write.Exec(sql.BuildUpdate("UPDATE card_type", config::Format("WHERE id = %d", d.Outputs.CardType->Id)));
    }
    if (!d.CardChanges.Empty() && more())
        write.Exec(CardUpdate(database.Kind(), d.CardChanges, number));
    if (d.PoolChange != 0 && more())
        write.ExecFmt(d.PoolChange > 0 ? "UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d"
                                       : "UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d",
                      d.Outputs.Card->GroupId);
    if (more())
        write.Exec(TransInsert(database.Kind(), d, number, memory));
}

} // namespace

int CardTransaction(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry,
                    const std::string& deviceData, bool memory, double cardNumber, int address, int loopId,
                    TCardOutputs& out, platform::TDateTime now)
{
    platform::TDateTime t = now;
    if (memory) {
        const auto recorded = MemoryRecordTime(deviceData, now);
        if (!recorded) {
            // Dropped as before, but traceable: the record is lost from the reader's memory.
            log.Log("Memory record with an invalid date rejected: " + deviceData, config::TLevel::Warning);
            return kRejectedRecord;
        }
        t = *recorded;
    }
    out.TransTime = t;
    const TCardKey key{.LoopId = loopId, .Address = address, .Number = cardNumber, .T = t};
    const TCardQuestion question{.Number = cardNumber, .T = t, .DebitExpiry = debitExpiry, .DetailedLog = detailedLog};
    // A decision that lost to another transaction (a deadlock, a certification
    // conflict on a cluster) runs again from the start: one answer, one row.
    const TCardDecision decided = db::RunWithConflictRetry(
        database,
        [&] {
            const db::TTransaction transaction(database);
            TCardDecision d = DecideCard(LoadCardInputs(database, key), question);
            WriteDecision(database, d, cardNumber, memory);
            return d;
        },
        [&](int retry) {
            log.LogFmt(config::TLevel::Warning,
                       "Card %s: the decision lost to another transaction (%s); it runs again (%d of %d)",
                       config::FloatToStr(cardNumber), database.LastDiagnostic, retry, db::kConflictRetries);
        });
    out = decided.Outputs;
    if (database.ConflictSeen) {
        log.LogFmt(config::TLevel::Error, "Card %s: the decision lost to another transaction %d times; it is not answered",
                   config::FloatToStr(cardNumber), db::kConflictRetries + 1);
        return kUndecided;
    }
    for (const std::string& line : decided.Lines)
        log.Add(line);
    return decided.Result;
}

} // namespace cardaccess
