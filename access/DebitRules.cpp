// Debit uses, group limits, pathways and passback.
#include "access/CardCheck.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"

namespace cardaccess {
namespace {

constexpr double kMinute = 1.0 / 1440.0;

platform::TDateTime SourceStart(db::TODBCStatement& cardType, db::TODBCStatement& card)
{
    return cardType.AsBool("global_expiry") ? cardType.AsDateTime("start_dt") : card.AsDateTime("start_dt");
}

bool DebitDue(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, db::TODBCStatement& cardType)
{
    const bool debit = cardType.AsBool("debit_flg");
    const bool reset = cardType.AsBool("debit_reset_flag");
    return (debitExpiry && debit && t < start) || (reset && t > start) ||
           (debit && platform::DecodeDateTime(start).Year < 2000) || (!debitExpiry && debit && t > start);
}

// The last second of t's month.
platform::TDateTime EndOfMonth(platform::TDateTime t)
{
    const auto d = platform::DecodeDateTime(t);
    const int year = d.Month == 12 ? d.Year + 1 : d.Year;
    const int month = d.Month == 12 ? 1 : d.Month + 1;
    return platform::EncodeDate(year, month, 1) - 1.0 / 86400.0;
}

} // namespace

bool DebitValid(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, db::TODBCStatement& cardType,
                db::TODBCStatement& card)
{
    if (cardType.AsBool("debit_reset_flag") && card.AsDateTime("debit_reset_date") < t)
        return true;
    if (!DebitDue(debitExpiry, t, start, cardType))
        return false;
    if (card.AsInteger("debit_left") > 0)
        return true;
    return cardType.AsBool("debit_time_limit_flg") &&
           t < card.AsDateTime("debit_date") + cardType.AsInteger("debit_time_limit") * kMinute;
}

bool DebitCard(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& cardType, bool debitExpiry,
               platform::TDateTime t)
{
    if (!DebitDue(debitExpiry, t, SourceStart(cardType, card), cardType))
        return false;
    if (cardType.AsBool("debit_time_limit_flg") &&
        t <= card.AsDateTime("debit_date") + cardType.AsInteger("debit_time_limit") * kMinute)
        return false;
    const double number = card.AsFloat("number");
    db::TODBCStatement update(database);
    if (cardType.AsBool("debit_reset_flag") && card.AsDateTime("debit_reset_date") < t) {
        update.ExecFmt("UPDATE card SET debit_left = %d, debit_reset_date = %s WHERE number = %f",
                       cardType.AsInteger("uses") - 1, db::DateTimeEscape(EndOfMonth(t)), number);
    } else {
        update.ExecFmt("UPDATE card SET debit_left = %d WHERE number = %f", card.AsInteger("debit_left") - 1, number);
    }
    return true;
}

bool CheckGroupMax(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device)
{
    const int group = card.AsInteger("group_id");
    if (group <= 0 || device.AsInteger("dir_ection") != 1)
        return true;
    db::TODBCStatement pool(database);
    if (!pool.ExecFmt("SELECT * FROM card_pool WHERE id = %d", group))
        return true;
    return pool.AsInteger("cur_inlot") < pool.AsInteger("max_inlot");
}

void UpdateGroupCount(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device)
{
    const int group = card.AsInteger("group_id");
    if (group < 1)
        return;
    db::TODBCStatement pool(database);
    if (!pool.ExecFmt("SELECT * FROM card_pool WHERE id = %d", group))
        return;
    const int direction = device.AsInteger("dir_ection");
    db::TODBCStatement update(database);
    if (direction == 1)
        update.ExecFmt("UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d", group);
    else if (direction == 2 && pool.AsInteger("cur_inlot") > 0)
        update.ExecFmt("UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d", group);
}

bool CheckPathway(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device, config::TMessLog& log,
                  bool detailedLog, db::TODBCStatement& cardType, platform::TDateTime t)
{
    const int pathway = cardType.AsInteger("pathway_id");
    const int inGate = card.AsInteger("in_gate");
    const bool noPath = device.AsBool("no_path");
    if (detailedLog)
        log.AddFmt("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d",
                   card.AsString("number"), pathway, inGate, noPath ? 1 : 0);
    if (!(pathway > 0 && inGate != -1 && !noPath))
        return true;
    const int deviceId = device.AsInteger("id");
    db::TODBCStatement step(database);
    if (!step.ExecFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d and to_device=%d", pathway,
                      inGate, deviceId)) {
        if (detailedLog)
            log.AddFmt("Pathway %d does NOT have path for %d to %d!", pathway, inGate, deviceId);
        return false;
    }
    const long long minutes = MinutesBetween(card.AsDateTime("trans_dt"), t);
    const int limit = step.AsInteger("time_limit");
    const bool ok = limit >= minutes;
    if (detailedLog)
        log.AddFmt("Pathway Time %s - Minutes: %d, Limit: %d", std::string(ok ? "OK" : "OUT"),
                   static_cast<int>(minutes), limit);
    return ok;
}

void UpdateInGate(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device,
                  db::TODBCStatement& cardType)
{
    const int pathway = cardType.AsInteger("pathway_id");
    if (pathway <= 0)
        return;
    const int deviceId = device.AsInteger("id");
    db::TODBCStatement next(database);
    const bool goesOn = next.ExecFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d", pathway,
                                     deviceId);
    db::TODBCStatement update(database);
    update.ExecFmt("UPDATE card SET in_gate=%d WHERE number=%f", goesOn ? deviceId : -1, card.AsFloat("number"));
}

bool CheckPassback(db::TODBCStatement& card, db::TODBCStatement& cardType, db::TODBCStatement& device,
                   int passbackResetMinutes, platform::TDateTime t)
{
    if (cardType.AsBool("ignore_passback"))
        return true;
    const int direction = device.AsInteger("dir_ection");
    if (direction == 3 || direction == 0 || direction != card.AsInteger("in_lot"))
        return true;
    const long long minutes = MinutesBetween(card.AsDateTime("trans_dt"), t);
    return !(passbackResetMinutes == 0 || minutes < passbackResetMinutes);
}

} // namespace cardaccess
