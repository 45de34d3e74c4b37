#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Process-wide numbers for monitoring, in the Prometheus model: counters,
// gauges and histograms with labels. Written from any thread (a short lock),
// read by the status listener; names are known to the unit, with their help
// text and type, and a name it does not know is ignored. Unlabelled counters
// and histograms show at 0 before their first event.
class TMetrics {
public:
    using TLabels = std::vector<std::pair<std::string, std::string>>;

    // A series known from set-up shows from the first scrape, at 0, so that
    // rate() sees its first change.
    void Touch(std::string_view name, const TLabels& labels);
    void Add(std::string_view name, const TLabels& labels = {}, double amount = 1);
    void Set(std::string_view name, const TLabels& labels, double value);
    void Observe(std::string_view name, const TLabels& labels, double seconds);
    // Gauges describe the present: a restart of the service forgets them.
    void ClearGauges();
    // The exposition text (text format 0.0.4).
    std::string Render() const;
    // One series' value (counters and gauges), for tests; 0 when absent.
    double Value(std::string_view name, const TLabels& labels = {}) const;

private:
    struct TSeries {
        double Value = 0;
        std::vector<std::uint64_t> Buckets;  // histograms: counts per bucket, not cumulative
        double Sum = 0;
        std::uint64_t Count = 0;
    };
    mutable std::mutex m_mutex;
    std::map<std::string, std::map<std::string, TSeries>, std::less<>> m_series;  // by name, then label text
};

TMetrics& Metrics();

} // namespace platform
