#include "access/RowReaders.hpp"

#include "access/AccessRules.hpp"
#include "config/Format.hpp"
#include "db/ODBC.hpp"

namespace cardaccess {
namespace {

std::string DateText(platform::TDateTime date)
{
    const auto d = platform::DecodeDateTime(date);
    return config::Format("%.4d-%.2d-%.2d", d.Year, d.Month, d.Day);
}

// A number column as the texts of the service show it (12345, not 12345.0 as
// an SQLite REAL column reads): the same on the site and on the copy; empty
// where the column is NULL or missing.
std::string NumberText(db::TODBCStatement& row, std::string_view column)
{
    return row.AsString(column).empty() ? std::string() : config::FloatToStr(row.AsFloat(column));
}

TValidityDates ValidityDates(db::TODBCStatement& row)
{
    return {.DateSet = row.AsBool("date_set"),
            .Start = row.AsDateTime("start_dt"),
            .Expiry = row.AsDateTime("exp_iry"),
            .PrevStart = row.AsDateTime("prev_strt"),
            .PrevExpiry = row.AsDateTime("prev_exp")};
}

TDeviceRow DeviceFromRow(db::TODBCStatement& s)
{
    return TDeviceRow{.Id = s.AsInteger("id"),
                      .Name = s.AsString("name"),
                      .Direction = static_cast<TDirection>(s.AsInteger("dir_ection")),
                      .OpenPulse = s.AsFloat("open_pulse"),
                      .DebitFlag = s.AsBool("debit_flag"),
                      .NoPath = s.AsBool("no_path"),
                      .SpecialOut = s.AsBool("special_out"),
                      .MsgId = s.AsInteger("msg_id"),
                      .RemoteUser = s.AsString("remote_user"),
                      .RemoteIp = s.AsString("remote_ip"),
                      .CountSoft = s.AsInteger("count_soft"),
                      .DoorInput = s.AsInteger("door_input"),
                      .AjarTimer = s.AsInteger("ajar_timer"),
                      .AjarOutput = s.AsInteger("ajar_output"),
                      .FireInput = s.AsInteger("fire_input")};
}

TCardRow CardFromRow(db::TODBCStatement& s)
{
    TCardRow c;
    c.Number = s.AsFloat("number");
    c.NumberText = NumberText(s, "number");
    c.TypeId = s.AsInteger("type_id");
    c.TypeIdText = NumberText(s, "type_id");
    c.InLot = s.AsInteger("in_lot");
    c.InGate = s.AsInteger("in_gate");
    c.GroupId = s.AsInteger("group_id");
    c.SpaceNo = s.AsInteger("space_no");
    c.FirstName = s.AsString("first_name");
    c.LastName = s.AsString("last_name");
    c.Street = s.AsString("str_eet");
    for (std::size_t i = 0; i < c.Misc.size(); ++i)
        c.Misc[i] = s.AsString("misc_" + std::to_string(i + 1));
    c.DebitLeft = s.AsInteger("debit_left");
    c.DebitLeftText = NumberText(s, "debit_left");
    c.DebitDate = s.AsDateTime("debit_date");
    c.DebitResetDate = s.AsDateTime("debit_reset_date");
    c.TransDate = s.AsDateTime("trans_dt");
    c.Dates = ValidityDates(s);
    return c;
}

TCardTypeRow CardTypeFromRow(db::TODBCStatement& s)
{
    TCardTypeRow t;
    t.Id = s.AsInteger("id");
    t.AccessLevelId = s.AsInteger("access_level_id");
    t.AccessLevelText = NumberText(s, "access_level_id");
    t.Days = s.AsInteger("days");
    t.GlobalExpiry = s.AsBool("global_expiry");
    t.FirstUse = s.AsBool("first_use_flg");
    t.Debit = s.AsBool("debit_flg");
    t.DebitReset = s.AsBool("debit_reset_flag");
    t.NoExpiry = s.AsBool("no_expiry_flg");
    t.DebitTimeLimitFlag = s.AsBool("debit_time_limit_flg");
    t.DebitTimeLimit = s.AsInteger("debit_time_limit");
    t.Uses = s.AsInteger("uses");
    t.PathwayId = s.AsInteger("pathway_id");
    t.IgnorePassback = s.AsBool("ignore_passback");
    t.MsgId = s.AsInteger("msg_id");
    t.Dates = ValidityDates(s);
    return t;
}

TSettingsRow SettingsFromRow(db::TODBCStatement& s)
{
    return TSettingsRow{.PassbackResetMinutes = s.AsInteger("stup_pbrst"),
                        .SoftGroup = s.AsBool("soft_group"),
                        .SoftPath = s.AsBool("soft_path"),
                        .SoftPassback = s.AsBool("soft_pb")};
}

TCardPoolRow CardPoolFromRow(db::TODBCStatement& s)
{
    return TCardPoolRow{.CurInLot = s.AsInteger("cur_inlot"), .MaxInLot = s.AsInteger("max_inlot")};
}

TMessagesRow MessagesFromRow(db::TODBCStatement& s)
{
    TMessagesRow m;
    for (std::size_t i = 0; i < m.Texts.size(); ++i)
        m.Texts[i] = s.AsString(kMessageColumns[i]);
    return m;
}

// The first row a one-table query finds, as a value.
template <typename TRowOf>
auto ReadOne(db::TODBC& database, const std::string& sql, TRowOf rowOf) -> std::optional<decltype(rowOf(std::declval<db::TODBCStatement&>()))>
{
    db::TODBCStatement s(database);
    if (!s.Exec(sql))
        return std::nullopt;
    return rowOf(s);
}

} // namespace

std::optional<TDeviceRow> ReadDeviceRow(db::TODBC& database, int loopId, int address)
{
    return ReadOne(database, config::Format("SELECT * FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address),
                   DeviceFromRow);
}

std::optional<TCardRow> ReadCardRow(db::TODBC& database, double number)
{
    return ReadOne(database, config::Format("SELECT * FROM card WHERE number = %f", number), CardFromRow);
}

std::optional<TCardTypeRow> ReadCardTypeRow(db::TODBC& database, int typeId)
{
    return ReadOne(database, config::Format("SELECT * FROM card_type WHERE id = %d", typeId), CardTypeFromRow);
}

std::optional<TSettingsRow> ReadSettingsRow(db::TODBC& database)
{
    return ReadOne(database, "SELECT * FROM settings", SettingsFromRow);
}

std::optional<TCardPoolRow> ReadCardPoolRow(db::TODBC& database, int groupId)
{
    return ReadOne(database, config::Format("SELECT * FROM card_pool WHERE id = %d", groupId), CardPoolFromRow);
}

std::optional<TMessagesRow> ReadMessagesRow(db::TODBC& database, int id)
{
    return ReadOne(database, config::Format("SELECT * FROM messages WHERE id = %d", id), MessagesFromRow);
}

int ReadHolidayTable(db::TODBC& database, platform::TDateTime date)
{
    db::TODBCStatement s(database);
    if (!s.ExecFmt("SELECT tab_num FROM holiday WHERE holi_day = '%s'", DateText(date)))
        return 0;
    return s.AsInteger("tab_num");
}

std::vector<TTimeRange> ReadTimeRanges(db::TODBC& database, int accessLevel, int dayColumn, int deviceId)
{
    std::vector<TTimeRange> out;
    db::TODBCStatement s(database);
    for (bool more = s.ExecFmt("SELECT a_l_range.start_time, a_l_range.end_time FROM a_l_range, a_l_range_device "
                               "WHERE a_l_range.access_level_id = %d and a_l_range.day_%d <> 0 and "
                               "a_l_range_device.a_l_range_id = a_l_range.id and a_l_range_device.device_id = %d",
                               accessLevel, dayColumn, deviceId);
         more; more = s.Next())
        out.push_back({s.AsDateTime("start_time"), s.AsDateTime("end_time")});
    return out;
}

std::optional<int> ReadPathwayLimit(db::TODBC& database, int pathway, int fromDevice, int toDevice)
{
    db::TODBCStatement s(database);
    if (!s.ExecFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d and to_device=%d", pathway,
                   fromDevice, toDevice))
        return std::nullopt;
    return s.AsInteger("time_limit");
}

bool PathwayGoesOn(db::TODBC& database, int pathway, int fromDevice)
{
    db::TODBCStatement s(database);
    return s.ExecFmt("SELECT * FROM pathway_ft WHERE pathway_id=%d and from_device=%d", pathway, fromDevice);
}

} // namespace cardaccess

namespace cardaccess {
namespace {

constexpr int kDayColumns = 9;  // day_1 .. day_9: the week and two holiday tables
constexpr int kFirstMessagesRow = 1;

// Every row a decision may need, in one query: each table's columns in a
// section of their own, the time ranges of the card's access level at the
// device as one result row each (one row of NULLs when there is none). The
// message row follows the rule the device text uses: the card type's, else
// the device's.
constexpr const char* kDecisionRowsSql =
    "SELECT 0 AS section_device, device.*, 0 AS section_settings, settings.*, 0 AS section_card, card.*, "
    "0 AS section_card_type, card_type.*, 0 AS section_pool, card_pool.*, "
    "0 AS section_message, message.*, 0 AS section_first_message, first_message.*, "
    "0 AS section_derived, "
    "(SELECT tab_num FROM holiday WHERE holi_day = '%s' LIMIT 1) AS holiday_table, "
    "(SELECT COALESCE(time_limit, 0) FROM pathway_ft WHERE pathway_id = COALESCE(card_type.pathway_id, 0) "
    "and from_device = COALESCE(card.in_gate, 0) and to_device = COALESCE(device.id, 0) LIMIT 1) AS pathway_limit, "
    "EXISTS (SELECT 1 FROM pathway_ft WHERE pathway_id = COALESCE(card_type.pathway_id, 0) "
    "and from_device = COALESCE(device.id, 0)) AS pathway_goes_on, "
    "%s AS message_id, "
    "0 AS section_range, a_l_range.access_level_id, range_device.device_id, a_l_range.start_time, "
    "a_l_range.end_time, a_l_range.day_1, a_l_range.day_2, a_l_range.day_3, a_l_range.day_4, a_l_range.day_5, "
    "a_l_range.day_6, a_l_range.day_7, a_l_range.day_8, a_l_range.day_9 "
    "FROM (SELECT 1 AS one) AS one_row "
    "LEFT JOIN device ON device.loop_id = %d and device.addr_ess = %d "
    "LEFT JOIN (SELECT * FROM settings LIMIT 1) AS settings ON 1 = 1 "
    "LEFT JOIN card ON card.number = %f "
    "LEFT JOIN card_type ON card_type.id = card.type_id "
    "LEFT JOIN card_pool ON card_pool.id = card.group_id "
    "LEFT JOIN messages AS message ON message.id = %s "
    "LEFT JOIN messages AS first_message ON first_message.id = %d "
    "LEFT JOIN (a_l_range_device AS range_device JOIN a_l_range ON a_l_range.id = range_device.a_l_range_id) "
    "ON card_type.id IS NOT NULL and a_l_range.access_level_id = COALESCE(card_type.access_level_id, 0) "
    "and range_device.device_id = COALESCE(device.id, 0)";
// The rows a decision may change, locked before anything is read, by an
// update that changes nothing: a second computer deciding the same card, or a
// card of the same group, waits until this decision has committed and then
// reads what it wrote. The reads that follow take their snapshot after the
// lock, so they see the latest rows. (An update, not SELECT ... FOR UPDATE:
// the driver takes a prefixed SELECT for a statement without rows.)
constexpr const char* kLockChangedRowsSql =
    "UPDATE card LEFT JOIN card_pool ON card_pool.id = card.group_id SET card.number = card.number, "
    "card_pool.cur_inlot = card_pool.cur_inlot WHERE card.number = %f";
constexpr const char* kMessageIdSql =
    "(CASE WHEN COALESCE(card_type.msg_id, 0) > 0 THEN card_type.msg_id ELSE COALESCE(device.msg_id, 0) END)";

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

} // namespace

TDecisionRows::TDecisionRows(db::TODBC& database, int loopId, int address, double number, platform::TDateTime t)
    : m_database(database), m_number(number), m_t(t)
{
    // An SQLite file has one writer at a time: its transaction is the lock.
    const bool server = database.Kind() == db::dkMySql && !database.IsSQLite();
    if (server)
        LockChangedRows();
    if (database.ConflictSeen || database.ConnectionLost)
        return;  // the caller sees it: the decision runs again, or is decided without the site
    if (server && ReadJoined(loopId, address))
        return;
    if (database.ConnectionLost)
        return;  // nothing more can be read; the caller sees the lost connection
    m_device = ReadDeviceRow(database, loopId, address);
    m_settings = ReadSettingsRow(database);
    m_card = ReadCardRow(database, number);
}

void TDecisionRows::LockChangedRows()
{
    db::TODBCStatement lock(m_database);
    lock.ExecFmt(m_database.LockingPrefix() + kLockChangedRowsSql, m_number);
}

bool TDecisionRows::ReadJoined(int loopId, int address)
{
    db::TODBCStatement s(m_database);
    // Quiet: a site schema the join does not fit is read row by row instead.
    s.ExecFmtQuiet(kDecisionRowsSql, DateText(m_t), kMessageIdSql, loopId, address, m_number, kMessageIdSql,
                   kFirstMessagesRow);
    if (s.Failed() || s.Eof() || !s.SelectSection("range"))
        return false;
    m_device = SectionRow(s, "device", "id", DeviceFromRow);
    m_settings = SectionRow(s, "settings", "id", SettingsFromRow);
    m_card = SectionRow(s, "card", "number", CardFromRow);
    m_cardType = SectionRow(s, "card_type", "id", CardTypeFromRow);
    m_pool = SectionRow(s, "pool", "id", CardPoolFromRow);
    m_message = SectionRow(s, "message", "id", MessagesFromRow);
    m_firstMessage = SectionRow(s, "first_message", "id", MessagesFromRow);
    s.SelectSection("derived");
    m_holidayTable = s.AsInteger("holiday_table");
    if (!s.IsNull("pathway_limit"))
        m_pathwayLimit = s.AsInteger("pathway_limit");
    m_pathwayGoesOn = s.AsBool("pathway_goes_on");
    m_messageId = s.AsInteger("message_id");
    s.SelectSection("range");
    do {
        if (s.IsNull("start_time"))
            continue;
        TJoinedRange r{.AccessLevel = s.AsInteger("access_level_id"),
                       .DeviceId = s.AsInteger("device_id"),
                       .Range = {s.AsDateTime("start_time"), s.AsDateTime("end_time")}};
        for (int day = 1; day <= kDayColumns; ++day)
            r.Days[static_cast<std::size_t>(day - 1)] = s.AsInteger("day_" + std::to_string(day)) != 0;
        m_ranges.push_back(r);
    } while (s.Next());
    m_joined = true;
    return true;
}

std::optional<TCardTypeRow> TDecisionRows::CardType(int typeId)
{
    return JoinedCardType(typeId) ? m_cardType : ReadCardTypeRow(m_database, typeId);
}

std::optional<TCardPoolRow> TDecisionRows::Pool(int groupId)
{
    return m_joined && m_card && groupId == m_card->GroupId ? m_pool : ReadCardPoolRow(m_database, groupId);
}

int TDecisionRows::HolidayTable()
{
    return m_joined ? m_holidayTable : ReadHolidayTable(m_database, m_t);
}

std::vector<TTimeRange> TDecisionRows::TimeRanges(int accessLevel, int dayColumn, int deviceId)
{
    const bool joined = m_joined && m_cardType && accessLevel == m_cardType->AccessLevelId &&
                        deviceId == JoinedDeviceId() && dayColumn >= 1 && dayColumn <= kDayColumns;
    if (!joined)
        return ReadTimeRanges(m_database, accessLevel, dayColumn, deviceId);
    std::vector<TTimeRange> out;
    for (const TJoinedRange& r : m_ranges)
        if (r.AccessLevel == accessLevel && r.DeviceId == deviceId && r.Days[static_cast<std::size_t>(dayColumn - 1)])
            out.push_back(r.Range);
    return out;
}

std::optional<int> TDecisionRows::PathwayLimit(int pathway, int fromDevice, int toDevice)
{
    const bool joined = m_joined && m_cardType && m_card && pathway == m_cardType->PathwayId &&
                        fromDevice == m_card->InGate && toDevice == JoinedDeviceId();
    return joined ? m_pathwayLimit : ReadPathwayLimit(m_database, pathway, fromDevice, toDevice);
}

bool TDecisionRows::PathwayGoesOn(int pathway, int fromDevice)
{
    const bool joined = m_joined && m_cardType && pathway == m_cardType->PathwayId && fromDevice == JoinedDeviceId();
    return joined ? m_pathwayGoesOn : cardaccess::PathwayGoesOn(m_database, pathway, fromDevice);
}

std::optional<TMessagesRow> TDecisionRows::Messages(int id)
{
    if (m_joined && id == m_messageId)
        return m_message;
    if (m_joined && id == kFirstMessagesRow)
        return m_firstMessage;
    return ReadMessagesRow(m_database, id);
}

} // namespace cardaccess
