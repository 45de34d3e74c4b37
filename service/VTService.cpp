#include "service/VTService.hpp"

#include "platform/Signals.hpp"
#include "platform/SysLog.hpp"
#include "platform/SystemdNotify.hpp"

#include <exception>
#include <string>

namespace service {

TVELIXCard::TVELIXCard(platform::TMainLoop& loop, TServiceCore& core, TServiceTiming timing)
    : timMain(loop, timing.MainInterval, [this] { timMainTimer(); }),
      tmrRestart(loop, timing.RestartInterval, [this] { tmrRestartTimer(); }),
      m_loop(loop),
      m_core(core),
      m_now(timing.Now ? timing.Now : TServiceTiming::TSteadyClock::now)
{
    // From the main thread's own timers: a main thread that hangs stops them.
    if (const auto interval = platform::WatchdogInterval())
        tmrWatchdog = std::make_unique<platform::TTimer>(loop, *interval, [this] {
            platform::NotifyWatchdog();
            tmrWatchdog->SetEnabled(true);
        });
}

void TVELIXCard::ServiceExecute(std::stop_token stop)
{
    m_loop.Invoke([this] {
        m_core.Started = false;
        // The first attempt comes with the first tick of the restart timer.
        LastAttempt = m_now() - kRetryAfter - std::chrono::seconds(1);
        tmrRestart.SetEnabled(true);
        if (tmrWatchdog)
            tmrWatchdog->SetEnabled(true);
    });
    bool stopped = false;
    // A stop request is SIGTERM/SIGINT, or the owner stopping this thread.
    while (!stopped) {
        if (stop.stop_requested() || platform::WaitForStopSignal(std::chrono::milliseconds(50)))
            ServiceStop(stopped);
    }
    RunShutDown();
    m_loop.Quit();
}

void TVELIXCard::ServiceStop(bool& stopped)
{
    platform::NotifyStopping();
    // A stopping service must not start up again between the two shutdowns.
    m_loop.Invoke([this] { tmrRestart.SetEnabled(false); });
    RunShutDown();
    stopped = true;
}

void TVELIXCard::RunShutDown()
{
    m_loop.Invoke([this] {
        try {
            m_core.ShutDown(timMain);
        } catch (const std::exception& e) {
            platform::SysLogError(std::string("ShutDown: ") + e.what());
        } catch (...) {
            platform::SysLogError("ShutDown: unknown error");
        }
    });
}

void TVELIXCard::tmrRestartTimer()
{
    tmrRestart.SetEnabled(false);
    try {
        // More than twenty whole seconds since the last failure.
        if (!m_core.Started && std::chrono::floor<std::chrono::seconds>(m_now() - LastAttempt) > kRetryAfter) {
            if (!m_core.StartUp(timMain))
                LastAttempt = m_now();
        }
    } catch (const std::exception& e) {
        platform::SysLogError(e.what());
    } catch (...) {
        platform::SysLogError("tmrRestartTimer: unknown error");
    }
    tmrRestart.SetEnabled(true);
}

void TVELIXCard::timMainTimer()
{
    timMain.SetEnabled(false);
    try {
        m_core.MainTick(timMain);
    } catch (const std::exception& e) {
        platform::SysLogError(e.what());
    } catch (...) {
        platform::SysLogError("timMainTimer: unknown error");
    }
    if (m_core.Started)
        timMain.SetEnabled(true);
}

} // namespace service
