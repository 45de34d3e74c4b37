#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>

namespace platform {

// How a guarded thread tells of a failure: its name and the exception's text.
using TFailureReport = std::function<void(const std::string& thread, const std::string& what)>;

inline constexpr std::chrono::milliseconds kGuardPause{2000};
// A body that failed this often in a row, each time within kSteadyRun of its
// start, keeps failing: the site state says so until it has run steadily.
inline constexpr int kFailuresShown = 3;
inline constexpr std::chrono::seconds kSteadyRun{60};

// Runs the body of a long-lived thread under one guard: an exception that
// escapes it is reported with its text and the body starts again after the
// pause, until stop is requested; a body that returns ends it. No thread of
// the service ends the process by throwing.
void RunGuarded(const std::string& name, std::stop_token stop, const std::function<void(std::stop_token)>& body,
                const TFailureReport& report, std::chrono::milliseconds pause = kGuardPause) noexcept;

// For tests: the next `times` starts of the named thread's body throw before
// the body runs, as a body that fails at once would.
void InjectThreadFaults(const std::string& name, int times);

} // namespace platform
