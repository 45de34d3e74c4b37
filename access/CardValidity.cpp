// Card on file, card type, access-level time ranges and validity dates.
#include "access/CardCheck.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"

#include <cmath>

namespace cardaccess {
namespace {

// Seconds of the day, so equal times compare equal whatever the float noise.
long SecondOfDay(platform::TDateTime value)
{
    const double frac = value - std::floor(value);
    return std::lround(frac * 86400.0) % 86400;
}

} // namespace

long long MinutesBetween(platform::TDateTime a, platform::TDateTime b)
{
    return platform::SecondsBetween(a, b) / 60;
}

bool FindCard(db::TODBCStatement& card, double number)
{
    return card.ExecFmt("SELECT * FROM card WHERE number = %f", number);
}

bool FindCardType(db::TODBCStatement& card, db::TODBCStatement& cardType)
{
    return cardType.ExecFmt("SELECT * FROM card_type WHERE id = %d", card.AsInteger("type_id"));
}

int HolidayTable(db::TODBC& database, platform::TDateTime date)
{
    const auto d = platform::DecodeDateTime(date);
    db::TODBCStatement s(database);
    if (!s.ExecFmt("SELECT tab_num FROM holiday WHERE holi_day = '%s'",
                   config::Format("%.4d-%.2d-%.2d", d.Year, d.Month, d.Day)))
        return 0;
    return s.AsInteger("tab_num");
}

int DayColumn(db::TODBC& database, platform::TDateTime date)
{
    const int tab = HolidayTable(database, date);
    if (tab == 0)
        return platform::DecodeDateTime(date).DayOfWeek;
    return tab == 2 ? 9 : 8;
}

bool CheckTimeRanges(config::TMessLog&, db::TODBC& database, int accessLevel, platform::TDateTime t, int deviceId)
{
    const std::string column = "day_" + std::to_string(DayColumn(database, t));
    const long now = SecondOfDay(t);
    db::TODBCStatement ranges(database);
    for (bool more = ranges.ExecFmt("SELECT id, %s, start_time, end_time FROM a_l_range WHERE access_level_id = %d",
                                    column, accessLevel);
         more; more = ranges.Next()) {
        if (ranges.AsInteger(column) == 0)
            continue;
        db::TODBCStatement assigned(database);
        if (!assigned.ExecFmt("SELECT * FROM a_l_range_device WHERE a_l_range_id = %d and device_id = %d",
                              ranges.AsInteger("id"), deviceId))
            continue;
        const long s = SecondOfDay(ranges.AsDateTime("start_time"));
        const long e = SecondOfDay(ranges.AsDateTime("end_time"));
        if (e == s || (e > s && s <= now && now <= e) || (e < s && (now >= s || now <= e)))
            return true;
    }
    return false;
}

bool CheckValidity(config::TMessLog& log, db::TODBC& database, bool debitExpiry, platform::TDateTime t,
                   db::TODBCStatement& cardType, db::TODBCStatement& card)
{
    const int days = cardType.AsInteger("days");
    const bool global = cardType.AsBool("global_expiry");
    db::TODBCStatement& source = global ? cardType : card;
    log.Add(global ? "Table: card_type" : "Table: card");
    const bool debitMode = cardType.AsBool("debit_flg") || cardType.AsBool("debit_reset_flag");
    platform::TDateTime start = 0, expiry = 0;
    if (cardType.AsBool("first_use_flg") && !cardType.AsBool("debit_flg") && !source.AsBool("date_set") &&
        !cardType.AsBool("debit_reset_flag")) {
        db::TSql sql(db::dkMySql);
        sql.AddInt("date_set", 1);
        sql.AddDateTime("start_dt", t);
        sql.AddDateTime("exp_iry", t + days);
        // Global expiry: the card-type row that FindCardType found.
        // The keys are written as numbers: a key read back empty or NULL still
        // makes a statement (that matches nothing) instead of a broken one.
        const std::string text =
            global ? sql.BuildUpdate("UPDATE card_type", config::Format("WHERE id = %d", cardType.AsInteger("id")))
                   : sql.BuildUpdate("UPDATE card", config::Format("WHERE number = %f", card.AsFloat("number")));
        db::TODBCStatement update(database);
        update.Exec(text);
        start = t;
        expiry = t + days;
    } else {
        start = source.AsDateTime("start_dt");
        expiry = source.AsDateTime("exp_iry");
    }
    if (debitMode)
        return DebitValid(debitExpiry, t, source.AsDateTime("start_dt"), cardType, card);
    if (cardType.AsBool("no_expiry_flg"))
        return true;
    if (t < start) {
        start = source.AsDateTime("prev_strt");
        expiry = source.AsDateTime("prev_exp");
    }
    return start <= t && t <= expiry;
}

} // namespace cardaccess
