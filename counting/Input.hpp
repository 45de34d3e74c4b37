#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace config {
class TMessLog;
}
namespace db {
class TODBC;
}
namespace line {
class TCard;
}

namespace counting {

class TEventLog;

// The input states of an input reply: a bit mask in its first character, bit
// 0 for input 1; nullopt for an empty payload (no states).
std::optional<unsigned> InputMask(std::string_view payload);
// Whether input 1..8 is active in the mask; no other input ever is.
bool InputActive(unsigned mask, int input);

// Watches one device's inputs for a door held open too long and for the fire
// input. Its loop's worker only.
class TInput {
public:
    TInput(int loopId, db::TODBC& database, TEventLog& eventLog, config::TMessLog& log, line::TCard* line,
           int address);

    using TClock = std::chrono::steady_clock;
    // One input reply. The ajar time runs on a monotonic clock, so a wall
    // clock set back or forward neither raises nor delays the alarm.
    void Process(const std::string& payload, TClock::time_point now = TClock::now());

    bool Alarm() const noexcept { return m_alarm; }
    bool Fire() const noexcept { return m_fire; }

private:
    void CheckDoor(unsigned mask, TClock::time_point now);
    void CheckFire(unsigned mask);

    line::TCard* m_line;
    // The alarm for the monitoring (a gauge per device and the site state).
    void PublishAlarm(const char* metric, bool active);
    int m_loopId;
    int m_address;
    db::TODBC& m_database;
    TEventLog& m_eventLog;
    config::TMessLog& m_log;
    int m_deviceId = 0;
    int m_doorInput = 0;
    int m_ajarTime = 0;
    int m_ajarOutput = 0;
    int m_fireInput = 0;
    std::optional<TClock::time_point> m_ajarStart;  // while the door is open
    bool m_alarm = false;
    bool m_acknowledged = false;
    bool m_fire = false;
};

} // namespace counting
