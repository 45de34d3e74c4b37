#include "platform/ThreadGuard.hpp"

#include "platform/SiteState.hpp"

#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

namespace platform {
namespace {

std::mutex g_faultsLock;
std::map<std::string, int> g_faults;  // guarded by g_faultsLock; tests only

void ThrowInjectedFault(const std::string& name)
{
    std::scoped_lock lock(g_faultsLock);
    const auto it = g_faults.find(name);
    if (it == g_faults.end() || it->second <= 0)
        return;
    --it->second;
    throw std::runtime_error("fault injected into " + name);
}

// The text of the exception being handled.
std::string CurrentWhat()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

void Pause(std::stop_token stop, std::chrono::milliseconds pause)
{
    if (pause <= std::chrono::milliseconds::zero())
        return;
    std::mutex lock;
    std::condition_variable_any woken;
    std::unique_lock held(lock);
    woken.wait_for(held, stop, pause, [] { return false; });
}

} // namespace

void InjectThreadFaults(const std::string& name, int times)
{
    std::scoped_lock lock(g_faultsLock);
    g_faults[name] = times;
}

void RunGuarded(const std::string& name, std::stop_token stop, const std::function<void(std::stop_token)>& body,
                const TFailureReport& report, std::chrono::milliseconds pause) noexcept
{
    int failures = 0;
    while (!stop.stop_requested()) {
        const auto started = std::chrono::steady_clock::now();
        std::string what;
        try {
            ThrowInjectedFault(name);
            body(stop);
            SiteState().SetThreadFailing(name, std::string());
            return;
        } catch (...) {
            what = CurrentWhat();
        }
        try {
            failures = std::chrono::steady_clock::now() - started < kSteadyRun ? failures + 1 : 1;
            SiteState().SetThreadFailing(name, failures >= kFailuresShown ? what : std::string());
            if (report)
                report(name, what);
        } catch (...) {
        }
        Pause(stop, pause);
    }
}

} // namespace platform
