#include "access/CardLoad.hpp"

#include "access/AccessRules.hpp"
#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "db/ODBC.hpp"

namespace cardaccess {
namespace {

std::string DateText(platform::TDateTime date)
{
    const auto d = platform::DecodeDateTime(date);
    return config::Format("%.4d-%.2d-%.2d", d.Year, d.Month, d.Day);
}

// The rows a decision may change, locked before anything is read, by an
// update that changes nothing: a second computer deciding the same card, or a
// card of the same group, waits until this decision has committed and then
// reads what it wrote. The reads that follow take their snapshot after the
// lock, so they see the latest rows. (An update, not SELECT ... FOR UPDATE:
// the driver takes a prefixed SELECT for a statement without rows.)
constexpr const char* kLockChangedRowsSql =
    "UPDATE card LEFT JOIN card_pool ON card_pool.id = card.group_id SET card.number = card.number, "
    "card_pool.cur_inlot = card_pool.cur_inlot WHERE card.number = %f";

// Every row a decision may need, in one query: each table's columns in a
// section of their own; the candidate rows of the device text (the card
// type's, the device's, the first); the ranges of the card's access level at
// the device as one result row each (one row of NULLs when there is none).
constexpr const char* kJoinedSql =
    "SELECT 0 AS section_device, device.*, 0 AS section_settings, settings.*, 0 AS section_card, card.*, "
    "0 AS section_card_type, card_type.*, 0 AS section_pool, card_pool.*, "
    "0 AS section_type_message, type_message.*, 0 AS section_device_message, device_message.*, "
    "0 AS section_first_message, first_message.*, 0 AS section_derived, "
    "(SELECT tab_num FROM holiday WHERE holi_day = '%s' LIMIT 1) AS holiday_table, "
    "(SELECT COALESCE(time_limit, 0) FROM pathway_ft WHERE pathway_id = COALESCE(card_type.pathway_id, 0) "
    "and from_device = COALESCE(card.in_gate, 0) and to_device = COALESCE(device.id, 0) LIMIT 1) AS pathway_limit, "
    "EXISTS (SELECT 1 FROM pathway_ft WHERE pathway_id = COALESCE(card_type.pathway_id, 0) "
    "and from_device = COALESCE(device.id, 0)) AS pathway_goes_on, "
    "0 AS section_range, a_l_range.*, range_device.device_id "
    "FROM (SELECT 1 AS one) AS one_row "
    "LEFT JOIN device ON device.loop_id = %d and device.addr_ess = %d "
    "LEFT JOIN (SELECT * FROM settings LIMIT 1) AS settings ON 1 = 1 "
    "LEFT JOIN card ON card.number = %f "
    "LEFT JOIN card_type ON card_type.id = card.type_id "
    "LEFT JOIN card_pool ON card_pool.id = card.group_id "
    "LEFT JOIN messages AS type_message ON type_message.id = card_type.msg_id "
    "LEFT JOIN messages AS device_message ON device_message.id = device.msg_id "
    "LEFT JOIN messages AS first_message ON first_message.id = %d "
    "LEFT JOIN (a_l_range_device AS range_device JOIN a_l_range ON a_l_range.id = range_device.a_l_range_id) "
    "ON card_type.id IS NOT NULL and a_l_range.access_level_id = COALESCE(card_type.access_level_id, 0) "
    "and range_device.device_id = COALESCE(device.id, 0)";

// A section's row, or nullopt where its outer join matched nothing.
template <typename TRowOf>
auto SectionRow(db::TODBCStatement& s, const char* section, const char* key, TRowOf rowOf)
    -> std::optional<decltype(rowOf(s))>
{
    s.SelectSection(section);
    if (s.IsNull(key))
        return std::nullopt;
    return rowOf(s);
}

void KeepMessages(TCardInputs& in, db::TODBCStatement& s, const char* section)
{
    if (auto row = SectionRow(s, section, "id", MessagesFromRow))
        in.Messages.emplace(s.AsInteger("id"), std::move(*row));
}

void LockChangedRows(db::TODBC& database, double number)
{
    db::TODBCStatement lock(database);
    lock.ExecFmt(database.LockingPrefix() + kLockChangedRowsSql, number);
}

// Every part from the one query; false when the site's schema does not fit it.
bool LoadJoined(db::TODBC& database, const TCardKey& key, TCardInputs& in)
{
    db::TODBCStatement s(database);
    // Quiet: a site schema the join does not fit is read row by row instead.
    s.ExecFmtQuiet(kJoinedSql, DateText(key.T), key.LoopId, key.Address, key.Number, kFirstMessagesRow);
    if (s.Failed() || s.Eof() || !s.SelectSection("range"))
        return false;
    in.Device = SectionRow(s, "device", "id", DeviceFromRow);
    in.Settings = SectionRow(s, "settings", "id", SettingsFromRow);
    in.Card = SectionRow(s, "card", "number", CardFromRow);
    in.CardType = SectionRow(s, "card_type", "id", CardTypeFromRow);
    in.Pool = SectionRow(s, "pool", "id", CardPoolFromRow);
    KeepMessages(in, s, "type_message");
    KeepMessages(in, s, "device_message");
    KeepMessages(in, s, "first_message");
    s.SelectSection("derived");
    in.HolidayTable = s.AsInteger("holiday_table");
    if (!s.IsNull("pathway_limit"))
        in.PathwayLimit = s.AsInteger("pathway_limit");
    in.PathwayGoesOn = s.AsBool("pathway_goes_on");
    s.SelectSection("range");
    do {
        if (!s.IsNull("start_time"))
            in.Ranges.push_back(RangeFromRow(s));
    } while (s.Next());
    return true;
}

// Row by row, as far as the checks go: no card type without a card, no
// ranges without a type.
void LoadRowByRow(db::TODBC& database, const TCardKey& key, TCardInputs& in)
{
    in.Device = ReadDeviceRow(database, key.LoopId, key.Address);
    in.Settings = ReadSettingsRow(database);
    in.Card = ReadCardRow(database, key.Number);
    if (in.Card) {
        const TCardRow& card = *in.Card;
        in.CardType = ReadCardTypeRow(database, card.TypeId);
        if (card.GroupId > 0)
            in.Pool = ReadCardPoolRow(database, card.GroupId);
    }
    if (in.CardType) {
        const int deviceId = in.Device ? in.Device->Id : 0;
        in.HolidayTable = ReadHolidayTable(database, key.T);
        in.Ranges = ReadRangeRows(database, in.CardType->AccessLevelId, deviceId);
        if (const int pathway = in.CardType->PathwayId; pathway > 0) {
            if (PathwayApplies(*in.CardType, *in.Card, in.Device.value_or(TDeviceRow{})))
                in.PathwayLimit = ReadPathwayLimit(database, pathway, in.Card->InGate, deviceId);
            in.PathwayGoesOn = PathwayGoesOn(database, pathway, deviceId);
        }
    }
    const int id = MessagesRowId(in.CardType, in.Device);
    if (auto row = ReadMessagesRow(database, id))
        in.Messages.emplace(id, std::move(*row));
    else if (id != kFirstMessagesRow)
        if (auto first = ReadMessagesRow(database, kFirstMessagesRow))
            in.Messages.emplace(kFirstMessagesRow, std::move(*first));
}

} // namespace

TCardInputs LoadCardInputs(db::TODBC& database, const TCardKey& key)
{
    TCardInputs in;
    const db::TDialect& dialect = database.Dialect();
    if (dialect.LockingDecision)
        LockChangedRows(database, key.Number);
    if (database.ConflictSeen || database.ConnectionLost)
        return in;
    if (dialect.JoinedDecision && LoadJoined(database, key, in))
        return in;
    if (!database.ConnectionLost)
        LoadRowByRow(database, key, in);
    return in;
}

} // namespace cardaccess
