#include "access/DecisionReads.hpp"

#include "access/RowReaders.hpp"
#include "config/Format.hpp"
#include "db/ODBC.hpp"

namespace cardaccess {
namespace {

std::string DateText(platform::TDateTime t)
{
    const auto d = platform::DecodeDateTime(t);
    return config::Format("%.4d-%.2d-%.2d", d.Year, d.Month, d.Day);
}

// A key of the card, its type or its device as the live reads would use it:
// a missing row or NULL reads as 0.
std::string Key(const std::string& select)
{
    return "COALESCE((" + select + " LIMIT 1), 0)";
}

} // namespace

std::optional<TDeviceRow> TLiveReads::Device()
{
    return ReadDeviceRow(m_database, m_loopId, m_address);
}

std::optional<TSettingsRow> TLiveReads::Settings()
{
    return ReadSettingsRow(m_database);
}

std::optional<TCardRow> TLiveReads::Card()
{
    return ReadCardRow(m_database, m_number);
}

std::optional<TCardTypeRow> TLiveReads::CardType(int typeId)
{
    return ReadCardTypeRow(m_database, typeId);
}

int TLiveReads::HolidayTable()
{
    return ReadHolidayTable(m_database, m_t);
}

std::vector<TTimeRange> TLiveReads::TimeRanges(int accessLevel, int dayColumn, int deviceId)
{
    return ReadTimeRanges(m_database, accessLevel, dayColumn, deviceId);
}

std::optional<TCardPoolRow> TLiveReads::CardPool(int groupId)
{
    return ReadCardPoolRow(m_database, groupId);
}

std::optional<int> TLiveReads::PathwayLimit(int pathway, int fromDevice, int toDevice)
{
    return ReadPathwayLimit(m_database, pathway, fromDevice, toDevice);
}

bool TLiveReads::PathwayGoesOn(int pathway, int fromDevice)
{
    return cardaccess::PathwayGoesOn(m_database, pathway, fromDevice);
}

std::optional<TMessagesRow> TLiveReads::Messages(int id)
{
    return ReadMessagesRow(m_database, id);
}

TBatchReads::TBatchReads(db::TODBC& database, int loopId, int address, double number, platform::TDateTime t)
    : TLiveReads(database, loopId, address, number, t)
{
    const std::string card = config::Format("FROM card WHERE number = %f", number);
    const std::string device = config::Format("FROM device WHERE loop_id = %d and addr_ess = %d", loopId, address);
    const std::string typeId = Key("SELECT type_id " + card);
    const std::string type = "FROM card_type WHERE id = " + typeId;
    const std::string deviceId = Key("SELECT id " + device);
    const std::string pathway = Key("SELECT pathway_id " + type);
    std::string days;
    for (int day = 1; day <= 9; ++day)
        days += config::Format(", a_l_range.day_%d", day);
    const std::vector<std::string> batch = {
        "START TRANSACTION",
        "SELECT * " + device,
        "SELECT * FROM settings",
        "SELECT * " + card,
        "SELECT * " + type,
        "SELECT tab_num FROM holiday WHERE holi_day = '" + DateText(t) + "'",
        "SELECT a_l_range.start_time, a_l_range.end_time" + days +
            " FROM a_l_range, a_l_range_device WHERE a_l_range.access_level_id = " + Key("SELECT access_level_id " + type) +
            " and a_l_range_device.a_l_range_id = a_l_range.id and a_l_range_device.device_id = " + deviceId,
        "SELECT * FROM card_pool WHERE id = " + Key("SELECT group_id " + card),
        "SELECT * FROM pathway_ft WHERE pathway_id=" + pathway + " and from_device=" + Key("SELECT in_gate " + card) +
            " and to_device=" + deviceId,
        "SELECT * FROM pathway_ft WHERE pathway_id=" + pathway + " and from_device=" + deviceId,
        "SELECT * FROM messages WHERE id = 1 or id = " + Key("SELECT msg_id " + type) + " or id = " +
            Key("SELECT msg_id " + device),
    };
    db::TODBCStatement s(database);
    m_ok = s.ExecBatch(batch, [&](std::size_t i, bool found) {
        if (!found)
            return;
        switch (i) {
        case 1: m_device = DeviceRowOf(s); break;
        case 2: m_settings = SettingsRowOf(s); break;
        case 3: m_card = CardRowOf(s); break;
        case 4: m_cardType = CardTypeRowOf(s); break;
        case 5: m_holidayTable = s.AsInteger("tab_num"); break;
        case 6:
            for (bool more = true; more; more = s.Next()) {
                TRangeDays r{{s.AsDateTime("start_time"), s.AsDateTime("end_time")}, {}};
                for (std::size_t day = 0; day < r.Days.size(); ++day)
                    r.Days[day] = s.AsInteger("day_" + std::to_string(day + 1)) != 0;
                m_ranges.push_back(r);
            }
            break;
        case 7: m_pool = CardPoolRowOf(s); break;
        case 8: m_pathwayLimit = s.AsInteger("time_limit"); break;
        case 9: m_pathwayGoesOn = true; break;
        case 10:
            for (bool more = true; more; more = s.Next())
                m_messages.emplace(s.AsInteger("id"), MessagesRowOf(s));
            break;
        default: break;
        }
    });
}

std::optional<TCardTypeRow> TBatchReads::CardType(int typeId)
{
    return typeId == TypeKey() ? m_cardType : TLiveReads::CardType(typeId);
}

std::vector<TTimeRange> TBatchReads::TimeRanges(int accessLevel, int dayColumn, int deviceId)
{
    if (!m_cardType || accessLevel != m_cardType->AccessLevelId || deviceId != DeviceKey() || dayColumn < 1 ||
        dayColumn > 9)
        return TLiveReads::TimeRanges(accessLevel, dayColumn, deviceId);
    std::vector<TTimeRange> out;
    for (const auto& r : m_ranges)
        if (r.Days[static_cast<std::size_t>(dayColumn - 1)])
            out.push_back(r.Range);
    return out;
}

std::optional<TCardPoolRow> TBatchReads::CardPool(int groupId)
{
    return m_card && groupId == m_card->GroupId ? m_pool : TLiveReads::CardPool(groupId);
}

std::optional<int> TBatchReads::PathwayLimit(int pathway, int fromDevice, int toDevice)
{
    if (m_cardType && m_card && pathway == m_cardType->PathwayId && fromDevice == m_card->InGate &&
        toDevice == DeviceKey())
        return m_pathwayLimit;
    return TLiveReads::PathwayLimit(pathway, fromDevice, toDevice);
}

bool TBatchReads::PathwayGoesOn(int pathway, int fromDevice)
{
    if (m_cardType && pathway == m_cardType->PathwayId && fromDevice == DeviceKey())
        return m_pathwayGoesOn;
    return TLiveReads::PathwayGoesOn(pathway, fromDevice);
}

std::optional<TMessagesRow> TBatchReads::Messages(int id)
{
    const auto found = m_messages.find(id);
    if (found != m_messages.end())
        return found->second;
    // Only ids 1 and the type's and device's were read; any other is not there.
    return id == 1 || (m_cardType && id == m_cardType->MsgId) || (m_device && id == m_device->MsgId)
               ? std::nullopt
               : TLiveReads::Messages(id);
}

} // namespace cardaccess
