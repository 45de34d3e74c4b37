#include "counting/Input.hpp"

#include "access/RowReaders.hpp"
#include "counting/EventLog.hpp"
#include "db/ODBC.hpp"
#include "line/Card.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"

namespace counting {

std::optional<unsigned> InputMask(std::string_view payload)
{
    if (payload.empty())
        return std::nullopt;
    return static_cast<unsigned char>(payload[0]);
}

bool InputActive(unsigned mask, int input)
{
    constexpr int kInputs = 8;
    return input >= 1 && input <= kInputs && (mask & (1u << (input - 1))) != 0;
}

TInput::TInput(int loopId, db::TODBC& database, TEventLog& eventLog, config::TMessLog& log, line::TCard* line,
               int address)
    : m_line(line), m_loopId(loopId), m_address(address), m_database(database), m_eventLog(eventLog), m_log(log)
{
    const auto device = cardaccess::ReadDeviceRow(m_database, loopId, address).value_or(cardaccess::TDeviceRow{});
    m_deviceId = device.Id;
    m_doorInput = device.DoorInput;
    m_ajarTime = device.AjarTimer;
    m_ajarOutput = device.AjarOutput;
    m_fireInput = device.FireInput;
    if (m_deviceId != 0) {
        PublishAlarm("velixcard_door_ajar_alarms", false);
        PublishAlarm("velixcard_fire_alarms", false);
    }
}

void TInput::Process(const std::string& payload, TClock::time_point now)
{
    // An empty payload carries no input states.
    const auto mask = InputMask(payload);
    if (!mask)
        return;
    CheckDoor(*mask, now);
    CheckFire(*mask);
}

void TInput::CheckDoor(unsigned mask, TClock::time_point now)
{
    if (m_doorInput == 0 || m_ajarOutput == 0)
        return;
    db::TODBCStatement s(m_database);
    if (!InputActive(mask, m_doorInput)) {
        if (m_alarm) {
            s.ExecFmt("UPDATE device SET door_ajar = 0 WHERE id = %d", m_deviceId);
            PublishAlarm("velixcard_door_ajar_alarms", false);
        }
        m_ajarStart.reset();
        m_alarm = false;
        m_acknowledged = false;
        return;
    }
    if (!m_ajarStart)
        m_ajarStart = now;
    if (std::chrono::floor<std::chrono::seconds>(now - *m_ajarStart).count() < m_ajarTime)
        return;
    if (!m_alarm) {
        s.ExecFmt("UPDATE device SET door_ajar = 1 WHERE id = %d", m_deviceId);
        m_eventLog.Write("Door Ajar Alarm", ekDoorAjar, -1);
        m_alarm = true;
        PublishAlarm("velixcard_door_ajar_alarms", true);
    }
    if (!m_acknowledged && s.ExecFmt("SELECT alarm_ack FROM device WHERE id = %d", m_deviceId) &&
        s.AsBool("alarm_ack")) {
        m_acknowledged = true;
        s.ExecFmt("UPDATE device SET alarm_ack = 0 WHERE id = %d", m_deviceId);
        m_eventLog.Write("Door Ajar Acknowledged", ekAjarAcknowledged, -1);
    }
    if (!m_acknowledged && m_line)
        m_line->PulseOutput(m_address, m_ajarOutput, 5);
}

void TInput::PublishAlarm(const char* metric, bool active)
{
    platform::Metrics().Set(metric,
                            {{"loop", std::to_string(m_loopId)},
                             {"address", std::to_string(m_address)},
                             {"device", platform::SiteState().DeviceName(m_loopId, m_address)}},
                            active ? 1 : 0);
    if (std::string_view(metric) == "velixcard_fire_alarms")
        platform::SiteState().SetFire(m_loopId, m_address, active);
    else
        platform::SiteState().SetDoor(m_loopId, m_address, active);
}

void TInput::CheckFire(unsigned mask)
{
    if (m_fireInput == 0)
        return;
    db::TODBCStatement s(m_database);
    if (InputActive(mask, m_fireInput)) {
        if (!m_fire) {
            s.Exec("UPDATE device SET perm_open = 1, remote_user = 'FIRE INPUT!', remote_ip = 'ON' WHERE fire_flag = 1");
            m_eventLog.Write("Fire Alarm", ekFire, -1);
            PublishAlarm("velixcard_fire_alarms", true);
        }
        m_fire = true;
    } else {
        if (m_fire) {
            s.Exec("UPDATE device SET perm_open = 0, remote_user = 'FIRE INPUT!', remote_ip = 'OFF' WHERE fire_flag = 1");
            PublishAlarm("velixcard_fire_alarms", false);
        }
        m_fire = false;
    }
}

} // namespace counting
