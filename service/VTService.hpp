#pragma once

#include "platform/LocalTime.hpp"
#include "platform/MainLoop.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>

namespace service {

// What the service module drives: start-up, shutdown and the main tick, with
// the Started flag they keep. Main thread only.
class TServiceCore {
public:
    virtual ~TServiceCore() = default;
    virtual bool StartUp(platform::TTimer& timMain) = 0;
    virtual void ShutDown(platform::TTimer& timMain) = 0;
    virtual void MainTick(platform::TTimer& timMain) = 0;
    bool Started = false;
};

// Timer intervals and the monotonic clock of the service module; tests
// shorten the intervals and bring their own clock.
struct TServiceTiming {
    using TSteadyClock = std::chrono::steady_clock;
    std::chrono::milliseconds MainInterval{750};
    std::chrono::milliseconds RestartInterval{1000};
    std::function<TSteadyClock::time_point()> Now = TSteadyClock::now;
};

// The service module: owns the restart and main timers and runs the stop.
class TVELIXCard {
public:
    static constexpr const char* kServiceName = "VELIXCard";
    static constexpr const char* kDisplayName = "VELIX Card Access Controller";

    TVELIXCard(platform::TMainLoop& loop, TServiceCore& core, TServiceTiming timing = {});
    TVELIXCard(const TVELIXCard&) = delete;
    TVELIXCard& operator=(const TVELIXCard&) = delete;

    // Service thread: arms the restart timer, waits for SIGTERM/SIGINT or stop,
    // runs the stop, then ends the main loop.
    void ServiceExecute(std::stop_token stop);
    // Service thread: the shutdown runs on the main thread, between handlers.
    void ServiceStop(bool& stopped);

    // Main thread.
    void tmrRestartTimer();
    void timMainTimer();

    platform::TTimer timMain;
    platform::TTimer tmrRestart;
    // Tells systemd the main thread is alive; only when systemd watches it.
    std::unique_ptr<platform::TTimer> tmrWatchdog;
    // A failed start-up is tried again only after this long, on a monotonic
    // clock: a wall clock set back or forward neither holds nor floods it.
    static constexpr std::chrono::seconds kRetryAfter{20};
    TServiceTiming::TSteadyClock::time_point LastAttempt{};

private:
    void RunShutDown();

    platform::TMainLoop& m_loop;
    TServiceCore& m_core;
    std::function<TServiceTiming::TSteadyClock::time_point()> m_now;
};

} // namespace service
