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

// Timer intervals and clock of the service module; tests shorten them.
struct TServiceTiming {
    std::chrono::milliseconds MainInterval{750};
    std::chrono::milliseconds RestartInterval{1000};
    std::function<platform::TDateTime()> Now = platform::NowDateTime;
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
    platform::TDateTime LastAttempt = 0;

private:
    void RunShutDown();

    platform::TMainLoop& m_loop;
    TServiceCore& m_core;
    std::function<platform::TDateTime()> m_now;
};

} // namespace service
