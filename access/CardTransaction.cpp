#include "access/CardCheck.hpp"

#include "access/RowReaders.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "db/Transaction.hpp"

#include <cmath>

namespace cardaccess {
namespace {

// The rows a decision reads and what it writes, for one card.
struct TDecision {
    TDeviceRow Device;
    TSettingsRow Settings;
    std::optional<TCardRow> Card;
    std::optional<TCardTypeRow> CardType;
    std::optional<TCardPoolRow> Pool;  // read once, when the group is looked at
    TCardChanges Changes;
    std::optional<TFirstUse> TypeFirstUse;  // on the card type (global expiry)
    int PoolChange = 0;
};

class TCardDecider {
public:
    TCardDecider(bool detailedLog, config::TMessLog& log, db::TODBC& database, TDecisionRows& rows, bool debitExpiry,
                 double number, platform::TDateTime t)
        : m_detailedLog(detailedLog), m_log(log), m_database(database), m_rows(rows), m_debitExpiry(debitExpiry),
          m_number(number), m_n(config::FloatToStr(number)), m_t(t)
    {
    }

    int Decide(TDecision& d);
    void Accept(TDecision& d, int result);
    void Write(const TDecision& d);

private:
    int Refuse(int code, const std::string& line)
    {
        if (m_detailedLog)
            m_log.Add(line);
        return code;
    }
    int Soft(int code, bool soft) const { return code | (soft ? kSoftBit : 0); }
    bool InTime(const TDecision& d);
    bool Valid(TDecision& d);
    bool InPath(const TDecision& d);

    bool m_detailedLog;
    config::TMessLog& m_log;
    db::TODBC& m_database;
    TDecisionRows& m_rows;
    bool m_debitExpiry;
    double m_number;
    std::string m_n;
    platform::TDateTime m_t;
};

// The checks in order; the first that fails decides.
int TCardDecider::Decide(TDecision& d)
{
    d.Card = m_rows.Card();
    if (!d.Card)
        return Refuse(arNotOnFile, "Card " + m_n + " not on file");
    d.CardType = m_rows.CardType(d.Card->TypeId);
    if (!d.CardType)
        return Refuse(arNoAccess, "Type id " + d.Card->TypeIdText + " is not on file for card " + m_n);
    if (!InTime(d))
        return Refuse(arNoAccess, "Access level id " + d.CardType->AccessLevelText + " access failure for card " + m_n);
    if (!Valid(d))
        return Refuse(arInactive, "Card " + m_n + " is inactive");
    if (GroupLimited(*d.Card, d.Device.Direction)) {
        d.Pool = m_rows.Pool(d.Card->GroupId);
        if (!GroupHasRoom(d.Pool))
            return Refuse(Soft(arGroupMax, d.Settings.SoftGroup), "Card " + m_n + " is over group maximum");
    }
    if (!InPath(d))
        return Refuse(Soft(arNotInPath, d.Settings.SoftPath), "Card " + m_n + " has a pathway error");
    if (!PassbackAllowed(*d.CardType, *d.Card, d.Device.Direction, d.Settings.PassbackResetMinutes, m_t))
        return Refuse(Soft(arPassback, d.Settings.SoftPassback), "Card " + m_n + " passback error");
    return arAccepted;
}

bool TCardDecider::InTime(const TDecision& d)
{
    const int day = DayColumn(m_rows.HolidayTable(), m_t);
    return InTimeRanges(m_rows.TimeRanges(d.CardType->AccessLevelId, day, d.Device.Id), m_t);
}

bool TCardDecider::Valid(TDecision& d)
{
    const TValidity v = CheckValidity(*d.CardType, *d.Card, m_debitExpiry, m_t);
    m_log.Add(v.FromCardType ? "Table: card_type" : "Table: card");
    // The first use is written whatever the rest of the decision says.
    if (v.FirstUse && v.FirstUse->OnCardType)
        d.TypeFirstUse = v.FirstUse;
    else if (v.FirstUse)
        d.Changes.FirstUse = v.FirstUse;
    return v.Valid;
}

bool TCardDecider::InPath(const TDecision& d)
{
    const TCardRow& card = *d.Card;
    const int pathway = d.CardType->PathwayId;
    if (m_detailedLog)
        m_log.AddFmt("Card#: %s - pathway_id ( > 0) %d  /  in_gate (<> -1) %d  /  no_path (<> 0) %d", card.NumberText,
                     pathway, card.InGate, d.Device.NoPath ? 1 : 0);
    if (!PathwayApplies(*d.CardType, card, d.Device))
        return true;
    const auto limit = m_rows.PathwayLimit(pathway, card.InGate, d.Device.Id);
    if (!limit) {
        if (m_detailedLog)
            m_log.AddFmt("Pathway %d does NOT have path for %d to %d!", pathway, card.InGate, d.Device.Id);
        return false;
    }
    const bool ok = PathwayInTime(*limit, card.TransDate, m_t);
    if (m_detailedLog)
        m_log.AddFmt("Pathway Time %s - Minutes: %d, Limit: %d", std::string(ok ? "OK" : "OUT"),
                     static_cast<int>(MinutesBetween(card.TransDate, m_t)), *limit);
    return ok;
}

// The bookkeeping of an accepted card: lot, debit, last use, pathway and group.
void TCardDecider::Accept(TDecision& d, int result)
{
    const TCardRow& card = *d.Card;
    const TCardTypeRow& type = *d.CardType;
    const TDirection direction = d.Device.Direction;
    bool debited = false;
    if (direction != TDirection::None && type.DebitMode() && d.Device.DebitFlag) {
        if (const auto use = DebitUse(type, card, m_debitExpiry, m_t)) {
            debited = true;
            d.Changes.DebitLeft = use->DebitLeft;
            d.Changes.DebitResetDate = use->ResetDate;
        }
    }
    if (direction != TDirection::None)
        d.Changes.InLot = static_cast<int>(direction);
    if (!(type.Debit && !type.DebitReset && !debited))
        d.Changes.DebitDate = m_t;
    d.Changes.TransDate = m_t;
    if (type.PathwayId > 0)
        d.Changes.InGate = m_rows.PathwayGoesOn(type.PathwayId, d.Device.Id) ? d.Device.Id : -1;
    if ((result & ~kSoftBit) != arGroupMax && card.GroupId >= 1) {
        if (!d.Pool)
            d.Pool = m_rows.Pool(card.GroupId);
        if (d.Pool)
            d.PoolChange = GroupCountChange(direction, *d.Pool);
    }
}

void AddFirstUse(db::TSql& sql, const TFirstUse& use)
{
    sql.AddInt("date_set", 1);
    sql.AddDateTime("start_dt", use.Start);
    sql.AddDateTime("exp_iry", use.Expiry);
}

// The card's columns in one statement. The keys are written as numbers: a key
// read back empty or NULL still makes a statement (that matches nothing)
// instead of a broken one.
void TCardDecider::Write(const TDecision& d)
{
    db::TODBCStatement update(m_database);
    // After a conflict the server has undone the transaction: nothing more is
    // written in this attempt, the whole decision runs again.
    if (m_database.ConflictSeen)
        return;
    if (d.TypeFirstUse) {
        db::TSql sql(m_database.Kind());
        AddFirstUse(sql, *d.TypeFirstUse);
        update.Exec(sql.BuildUpdate("UPDATE card_type", config::Format("WHERE id = %d", d.CardType->Id)));
    }
    const TCardChanges& c = d.Changes;
    if (!c.Empty() && !m_database.ConflictSeen) {
        db::TSql sql(m_database.Kind());
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
        update.Exec(sql.BuildUpdate("UPDATE card", config::Format("WHERE number = %f", m_number)));
    }
    if (d.PoolChange != 0 && !m_database.ConflictSeen)
        update.ExecFmt(d.PoolChange > 0 ? "UPDATE card_pool SET cur_inlot = cur_inlot + 1 WHERE id = %d"
                                        : "UPDATE card_pool SET cur_inlot = cur_inlot - 1 WHERE id = %d",
                       d.Card->GroupId);
}

void WriteTransRow(db::TODBC& database, const TDecision& d, double cardNumber, platform::TDateTime t, int result,
                   bool memory)
{
    if (database.ConflictSeen)
        return;
    // Text is escaped by the rule of the connected database: the MySQL rule
    // would double every backslash in a name stored elsewhere.
    db::TSql row(database.Kind());
    row.AddFloat("card_no", cardNumber);
    row.AddDateTime("dat_e", t);
    row.AddInt("device_id", d.Device.Id);
    row.AddInt("error_code", result);
    row.AddField("error_desc", AccessResultText(result), true);
    row.AddFloat("cardno", cardNumber);
    row.AddField("device_name", d.Device.Name, true);
    row.AddField("first_name", d.Card ? d.Card->FirstName : std::string(), true);
    row.AddField("last_name", d.Card ? d.Card->LastName : std::string(), true);
    row.AddBool("mem_flag", memory);
    db::TODBCStatement insert(database);
    insert.Exec(row.BuildInsert("INSERT INTO trans", "Values", ""));
}

// The device text's row: the card type's message row, else the device's,
// else the first.
std::optional<TMessagesRow> DeviceMessages(TDecisionRows& rows, const TCardOutputs& decided)
{
    int id = decided.Card && decided.CardType ? decided.CardType->MsgId : 0;
    if (id <= 0 && decided.Device)
        id = decided.Device->MsgId;
    if (auto messages = rows.Messages(id))
        return messages;
    return rows.Messages(1);
}

int DecideOnce(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry, bool memory,
               double cardNumber, int address, int loopId, platform::TDateTime t, TCardOutputs& out)
{
    const db::TTransaction transaction(database);
    TDecision d;
    TDecisionRows rows(database, loopId, address, cardNumber, t);
    out.Device = rows.Device();
    d.Device = out.Device.value_or(TDeviceRow{});
    d.Settings = rows.Settings().value_or(TSettingsRow{});
    TCardDecider decider(detailedLog, log, database, rows, debitExpiry, cardNumber, t);
    const int result = decider.Decide(d);
    if (IsAccepted(result))
        decider.Accept(d, result);
    decider.Write(d);
    if (d.Card)
        ApplyChanges(d.Changes, *d.Card);

    out.OpenPulse = static_cast<int>(std::trunc(d.Device.OpenPulse));
    out.SpaceNo = d.Device.SpecialOut ? (d.Card ? d.Card->SpaceNo : 0) : -1;
    out.DeviceName = d.Device.Name;
    out.FirstName = d.Card ? d.Card->FirstName : std::string();
    out.Card = d.Card;
    out.CardType = d.CardType;
    out.Messages = DeviceMessages(rows, out);
    WriteTransRow(database, d, cardNumber, t, result, memory);
    return result;
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
    // A decision that lost to another transaction (a deadlock, a certification
    // conflict on a cluster) runs again from the start: one answer, one row.
    const int result = db::RunWithConflictRetry(
        database,
        [&] { return DecideOnce(detailedLog, log, database, debitExpiry, memory, cardNumber, address, loopId, t, out); },
        [&](int retry) {
            log.LogFmt(config::TLevel::Warning, "Card %s: the decision lost to another transaction (%s); it runs again (%d of %d)",
                       config::FloatToStr(cardNumber), database.LastDiagnostic, retry, db::kConflictRetries);
        });
    if (!database.ConflictSeen)
        return result;
    log.LogFmt(config::TLevel::Error, "Card %s: the decision lost to another transaction %d times; it is not answered",
               config::FloatToStr(cardNumber), db::kConflictRetries + 1);
    return kUndecided;
}

} // namespace cardaccess
