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

TRangeRow RangeFromRow(db::TODBCStatement& s)
{
    TRangeRow r{.AccessLevel = s.AsInteger("access_level_id"),
                .DeviceId = s.AsInteger("device_id"),
                .Days = {},
                .Range = {s.AsDateTime("start_time"), s.AsDateTime("end_time")}};
    for (int day = 1; day <= kDayColumns; ++day)
        r.Days[static_cast<std::size_t>(day - 1)] = s.AsInteger("day_" + std::to_string(day)) != 0;
    return r;
}

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

std::vector<TRangeRow> ReadRangeRows(db::TODBC& database, int accessLevel, int deviceId)
{
    std::vector<TRangeRow> out;
    db::TODBCStatement s(database);
    for (bool more = s.ExecFmt("SELECT a_l_range.*, a_l_range_device.device_id FROM a_l_range, a_l_range_device "
                               "WHERE a_l_range.access_level_id = %d and a_l_range_device.a_l_range_id = a_l_range.id "
                               "and a_l_range_device.device_id = %d",
                               accessLevel, deviceId);
         more; more = s.Next())
        out.push_back(RangeFromRow(s));
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
