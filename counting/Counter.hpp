#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace config {
class TMessLog;
}
namespace db {
class TODBC;
class TODBCStatement;
struct TTarget;
}

namespace counting {

inline constexpr std::size_t kCounterDigits = 5;
using TCounterDigits = std::array<int, kCounterDigits>;

// The five counter positions of a counter reply (low nibble of each of the
// first five characters); nullopt when the reply is shorter.
std::optional<TCounterDigits> CounterDigits(std::string_view payload);
// Cars counted at one position since the last reading; the 4-bit counters
// roll over from 15 to 0.
int CounterDelta(int last, int now);

// Keeps lot occupancy in step with one device's counters: hardware counter
// replies, soft counts after a passage, and (remote mode) rises of count_soft
// written by another system. Each reply or count is decided against the
// target it is given: the site, where the device's counts are written as the
// values read plus the change, or the offline copy, where every count changes
// relatively so that the journal's replay adds to what the site holds by
// then. Its loop's worker only.
class TCounter {
public:
    // Reads the device's id and soft count from database.
    TCounter(config::TMessLog& log, db::TODBC& database, int loopId, int address, bool remote);

    // One counter reply; returns the device name for the caller's log line.
    std::string Process(const db::TTarget& to, const std::string& payload);
    void SoftCount(const db::TTarget& to);
    // Remote mode, on the site: what another system added to count_soft.
    void CheckSoftCount(db::TODBCStatement& statement);

    bool Remote() const noexcept { return m_remote; }
    int DeviceId() const noexcept { return m_deviceId; }
    bool FirstReading() const noexcept { return m_firstReading; }

private:
    void ChangeLot(const db::TTarget& to, int delta, int input, int deviceLot);
    void FlagLotFull(db::TODBC& database, int lotId);

    config::TMessLog& m_log;
    int m_deviceId = 0;
    bool m_firstReading = true;
    int m_lastSoftCount = 0;
    bool m_remote;
    TCounterDigits m_lastCounts{};
};

} // namespace counting
