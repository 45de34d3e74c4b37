#include "service/PlannedTasks.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "platform/FileText.hpp"
#include "platform/Paths.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

namespace service {
namespace {

std::string DateText(platform::TDateTime day)
{
    const auto t = platform::DecodeDateTime(day);
    return config::Format("%.4d-%.2d-%.2d", t.Year, t.Month, t.Day);
}

} // namespace

std::optional<std::string> PlannedOccurrence(long plannedSecond, platform::TDateTime now)
{
    const auto t = platform::DecodeDateTime(now);
    const long second = t.Hour * 3600L + t.Minute * 60L + t.Second;
    const platform::TDateTime today = std::floor(now);
    if (second >= plannedSecond && second - plannedSecond < kPlanWindowSeconds)
        return DateText(today);
    if (second < plannedSecond && second + platform::kSecondsPerDay - plannedSecond < kPlanWindowSeconds)
        return DateText(today - 1);
    return std::nullopt;
}

TPlannedTasks::TPlannedTasks(std::string stateFile, config::TMessLog* log) : m_file(std::move(stateFile)), m_log(log)
{
    std::istringstream lines(platform::ReadWholeFile(m_file).value_or(""));
    std::string task, date;
    while (lines >> task >> date)
        m_lastRun[task] = date;
}

std::optional<std::string> TPlannedTasks::Due(const std::string& task, long plannedSecond,
                                              platform::TDateTime now) const
{
    auto occurrence = PlannedOccurrence(plannedSecond, now);
    if (occurrence && LastRun(task) == occurrence)
        return std::nullopt;
    return occurrence;
}

std::optional<std::string> TPlannedTasks::LastRun(const std::string& task) const
{
    const auto found = m_lastRun.find(task);
    return found == m_lastRun.end() ? std::nullopt : std::optional<std::string>(found->second);
}

void TPlannedTasks::MarkRun(const std::string& task, const std::string& date)
{
    m_lastRun[task] = date;
    Save();
}

void TPlannedTasks::Save()
{
    std::string text;
    for (const auto& [task, date] : m_lastRun)
        text += task + " " + date + "\n";
    platform::TReplaceFile file(m_file);
    if (file.Write(text) && file.Commit()) {
        m_saveFailureLogged = false;
        return;
    }
    // The dates stay known to this process; only a restart could repeat a task.
    if (m_log && !m_saveFailureLogged)
        m_log->Log("Planned tasks: cannot write " + m_file + " (" + std::strerror(errno) + ")", config::TLevel::Error);
    m_saveFailureLogged = true;
}

std::string PlannedTasksFileName()
{
    return platform::HomeFolder() + "/planned-tasks.state";
}

} // namespace service
