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
// written by another system. Its loop's worker only.
class TCounter {
public:
    TCounter(config::TMessLog& log, db::TODBC& database, int loopId, int address, bool remote);

    // One counter reply; returns the device name for the caller's log line.
    std::string Process(const std::string& payload);
    void SoftCount();
    // The same against another database (the offline copy); the next calls
    // use the counter's own again. There the counts change relatively, so
    // that the journal's replay adds to what the site holds by then.
    void SoftCountOn(db::TODBC& database);
    std::string ProcessOn(db::TODBC& database, const std::string& payload);
    void CheckSoftCount(db::TODBCStatement& statement);
    void ChangeLot(int delta, int input, int deviceLot);
    void FlagLotFull(int lotId);

    bool Remote() const noexcept { return m_remote; }
    int DeviceId() const noexcept { return m_deviceId; }
    bool FirstReading() const noexcept { return m_firstReading; }

private:
    template <class F>
    auto On(db::TODBC& database, F work);
    bool OnCopy() const noexcept { return m_database != &m_own; }

    config::TMessLog& m_log;
    db::TODBC& m_own;
    db::TODBC* m_database;  // the counter's own, but for the length of On
    int m_deviceId = 0;
    bool m_firstReading = true;
    int m_lastSoftCount = 0;
    bool m_remote;
    TCounterDigits m_lastCounts{};
};

} // namespace counting
