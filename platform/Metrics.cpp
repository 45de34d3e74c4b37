#include "platform/Metrics.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <charconv>

namespace platform {
namespace {

enum class TKind { Counter, Gauge, Histogram };

struct TMetricInfo {
    const char* Name;
    TKind Kind;
    const char* Help;
    bool Labelled = true;  // an unlabelled counter or histogram is shown at 0 from the start
};
constexpr bool kUnlabelled = false;

constexpr TMetricInfo kMetrics[] = {
    {"velixcard_startup_attempts_total", TKind::Counter, "Start-up attempts since the process began.", kUnlabelled},
    {"velixcard_started", TKind::Gauge, "1 while the service is started."},
    {"velixcard_polls_total", TKind::Counter, "Polls and commands sent on a line."},
    {"velixcard_replies_total", TKind::Counter, "Replies received on a line."},
    {"velixcard_missed_replies_total", TKind::Counter, "Polls that got no usable reply."},
    {"velixcard_crc_errors_total", TKind::Counter, "Replies that failed their check."},
    {"velixcard_foreign_replies_total", TKind::Counter, "Replies naming another address than the one polled, by the address named."},
    {"velixcard_device_online", TKind::Gauge, "1 while the device answers its polls."},
    {"velixcard_commands_queued_total", TKind::Counter, "Commands queued for devices."},
    {"velixcard_command_queue_depth", TKind::Gauge, "Commands waiting on a line."},
    {"velixcard_events_dispatched_total", TKind::Counter, "Line events handed to their loop."},
    {"velixcard_events_dropped_total", TKind::Counter, "Line events given up because the loop's queue was full."},
    {"velixcard_decisions_total", TKind::Counter, "Decisions by result."},
    {"velixcard_decision_seconds", TKind::Histogram, "Time of a card decision against the database.", kUnlabelled},
    {"velixcard_card_road_seconds", TKind::Histogram, "From the card's reply handled to its gate command queued.", kUnlabelled},
    {"velixcard_database_connected", TKind::Gauge, "1 while the connection is up."},
    {"velixcard_database_tls", TKind::Gauge,
     "TLS of the connection: 0 clear, 1 encrypted, 2 encrypted with the certificate and host name verified."},
    {"velixcard_database_reconnects_total", TKind::Counter, "Connections made again after one was lost.", kUnlabelled},
    {"velixcard_failed_statements_total", TKind::Counter, "Statements that failed.", kUnlabelled},
    {"velixcard_mail_sent_total", TKind::Counter, "Notices handed to the mail server.", kUnlabelled},
    {"velixcard_mail_failed_total", TKind::Counter, "Notices the mail server did not take.", kUnlabelled},
    {"velixcard_mail_dropped_total", TKind::Counter, "Notices dropped because the queue was full.", kUnlabelled},
    {"velixcard_lot_occupancy", TKind::Gauge, "Cars counted in the lot."},
    {"velixcard_lot_capacity", TKind::Gauge, "Capacity of the lot."},
    {"velixcard_door_ajar_alarms", TKind::Gauge, "Door-ajar alarms active."},
    {"velixcard_fire_alarms", TKind::Gauge, "Fire inputs active."},
    {"velixcard_offline_decisions_total", TKind::Counter, "Decisions made from the offline copy.", kUnlabelled},
    {"velixcard_offline_journal_depth", TKind::Gauge, "Offline decisions waiting for the site database."},
    {"velixcard_offline_copy_age_seconds", TKind::Gauge, "Age of the offline copy."},
    {"velixcard_offline_refresh_seconds", TKind::Histogram, "Time of a refresh of the offline copy.", kUnlabelled},
    {"velixcard_offline_refresh_rows_total", TKind::Counter, "Rows read from the site for the offline copy.", kUnlabelled},
    {"velixcard_offline_refresh_failures_total", TKind::Counter, "Refreshes of the offline copy that failed.", kUnlabelled},
};

// Seconds: from a quick local decision to one held by a distant database.
constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

const TMetricInfo* Find(std::string_view name)
{
    for (const auto& m : kMetrics)
        if (name == m.Name)
            return &m;
    return nullptr;
}

std::string Escaped(std::string_view value)
{
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string LabelText(const TMetrics::TLabels& labels)
{
    std::string out;
    for (const auto& [key, value] : labels)
        out += (out.empty() ? "" : ",") + key + "=\"" + Escaped(value) + "\"";
    return out;
}

// The shortest text that reads back as the same value: 0.005, not 0.0050000000000000001.
std::string Number(double v)
{
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    if (std::isnan(v))
        return "NaN";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

std::string Braced(const std::string& labels, const std::string& extra = std::string())
{
    const std::string all = labels + (labels.empty() || extra.empty() ? "" : ",") + extra;
    return all.empty() ? std::string() : "{" + all + "}";
}

} // namespace

void TMetrics::Touch(std::string_view name, const TLabels& labels)
{
    const TMetricInfo* info = Find(name);
    if (!info)
        return;
    const std::lock_guard lock(m_mutex);
    TSeries& s = m_series[std::string(name)][LabelText(labels)];
    if (info->Kind == TKind::Histogram)
        s.Buckets.resize(kBuckets.size() + 1);
}

void TMetrics::Add(std::string_view name, const TLabels& labels, double amount)
{
    const TMetricInfo* info = Find(name);
    if (!info || info->Kind == TKind::Histogram)
        return;
    const std::lock_guard lock(m_mutex);
    m_series[std::string(name)][LabelText(labels)].Value += amount;
}

void TMetrics::Set(std::string_view name, const TLabels& labels, double value)
{
    const TMetricInfo* info = Find(name);
    if (!info || info->Kind != TKind::Gauge)
        return;
    const std::lock_guard lock(m_mutex);
    m_series[std::string(name)][LabelText(labels)].Value = value;
}

void TMetrics::Observe(std::string_view name, const TLabels& labels, double seconds)
{
    const TMetricInfo* info = Find(name);
    if (!info || info->Kind != TKind::Histogram)
        return;
    const std::lock_guard lock(m_mutex);
    TSeries& s = m_series[std::string(name)][LabelText(labels)];
    s.Buckets.resize(kBuckets.size() + 1);
    const auto at = std::lower_bound(kBuckets.begin(), kBuckets.end(), seconds) - kBuckets.begin();
    ++s.Buckets[static_cast<std::size_t>(at)];
    s.Sum += seconds;
    ++s.Count;
}

void TMetrics::ClearGauges()
{
    const std::lock_guard lock(m_mutex);
    for (const auto& m : kMetrics)
        if (m.Kind == TKind::Gauge)
            m_series.erase(m.Name);
}

double TMetrics::Value(std::string_view name, const TLabels& labels) const
{
    const std::lock_guard lock(m_mutex);
    const auto byName = m_series.find(name);
    if (byName == m_series.end())
        return 0;
    const auto series = byName->second.find(LabelText(labels));
    return series == byName->second.end() ? 0 : series->second.Value;
}

std::string TMetrics::Render() const
{
    const std::lock_guard lock(m_mutex);
    std::string out;
    for (const auto& m : kMetrics) {
        const char* type = m.Kind == TKind::Counter ? "counter" : m.Kind == TKind::Gauge ? "gauge" : "histogram";
        out += std::string("# HELP ") + m.Name + " " + m.Help + "\n# TYPE " + m.Name + " " + type + "\n";
        const auto byName = m_series.find(std::string_view(m.Name));
        static const std::map<std::string, TSeries> kZero{{"", TSeries{}}};
        const bool zero = byName == m_series.end() && !m.Labelled && m.Kind != TKind::Gauge;
        if (byName == m_series.end() && !zero)
            continue;
        for (const auto& [labels, s] : zero ? kZero : byName->second) {
            if (m.Kind != TKind::Histogram) {
                out += m.Name + Braced(labels) + " " + Number(s.Value) + "\n";
                continue;
            }
            std::uint64_t cumulative = 0;
            for (std::size_t i = 0; i <= kBuckets.size(); ++i) {
                cumulative += i < s.Buckets.size() ? s.Buckets[i] : 0;
                const std::string le = i < kBuckets.size() ? Number(kBuckets[i]) : "+Inf";
                out += std::string(m.Name) + "_bucket" + Braced(labels, "le=\"" + le + "\"") + " " +
                       std::to_string(cumulative) + "\n";
            }
            out += std::string(m.Name) + "_sum" + Braced(labels) + " " + Number(s.Sum) + "\n";
            out += std::string(m.Name) + "_count" + Braced(labels) + " " + std::to_string(s.Count) + "\n";
        }
    }
    return out;
}

TMetrics& Metrics()
{
    static TMetrics metrics;
    return metrics;
}

} // namespace platform
