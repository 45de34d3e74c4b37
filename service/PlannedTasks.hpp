#pragma once

#include "platform/LocalTime.hpp"

#include <map>
#include <optional>
#include <string>

namespace config {
class TMessLog;
}

namespace service {

// A planned daily task is due from its time of day until this long after it,
// by the wall clock, so that a tick lost to a clock change, a busy database or
// a late start still runs it.
constexpr long kPlanWindowSeconds = 60 * 60;

// The calendar date (YYYY-MM-DD) whose planned time, at plannedSecond of the
// day, now lies at or up to the window after; nullopt outside every window. A
// window may run past midnight: it then belongs to the day before.
std::optional<std::string> PlannedOccurrence(long plannedSecond, platform::TDateTime now);

// Which planned task last ran on which date, so that none runs twice on one
// date: not when the clock falls back or is set back, nor after a restart of
// the service. Kept in a small file written whole and replaced atomically.
class TPlannedTasks {
public:
    // Reads the file; a missing or unreadable one means nothing ran yet.
    explicit TPlannedTasks(std::string stateFile, config::TMessLog* log = nullptr);

    // The occurrence of the task that is due now and has not run yet.
    std::optional<std::string> Due(const std::string& task, long plannedSecond, platform::TDateTime now) const;
    // The task's statements all succeeded for that occurrence.
    void MarkRun(const std::string& task, const std::string& date);
    std::optional<std::string> LastRun(const std::string& task) const;

private:
    void Save();

    std::string m_file;
    config::TMessLog* m_log;
    std::map<std::string, std::string> m_lastRun;
    bool m_saveFailureLogged = false;
};

// <home>/planned-tasks.state
std::string PlannedTasksFileName();

} // namespace service
