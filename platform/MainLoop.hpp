#pragma once

#include "platform/ThreadGuard.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace asio {
class io_context;
}

namespace platform {

// An event loop: it delivers timer ticks and the calls that other threads
// hand over, one at a time, in order, on the thread that runs it (the main
// thread, or a worker's).
class TMainLoop {
public:
    // name: the thread's, for what its failures report.
    explicit TMainLoop(std::string name = "main");
    ~TMainLoop();
    TMainLoop(const TMainLoop&) = delete;
    TMainLoop& operator=(const TMainLoop&) = delete;

    // Runs on the calling thread, which becomes the loop's thread (the main
    // thread, or a worker's), until Quit().
    // A call that throws is reported (to syslog without a report) and the next goes on.
    void Run(const TFailureReport& report = {});
    // Any thread. Pending calls are dropped; Invoke waiters return false.
    void Quit();
    // Any thread but the loop's own: new calls are refused, the ones already
    // handed over run, then Run() returns.
    void Finish();
    bool Quitting() const;
    // Any thread: run fn on the loop's thread later.
    void Post(std::function<void()> fn);
    // Any thread: run fn on the loop's thread and wait until it has run. Returns
    // false, without running fn, when stop is requested or the loop quits before
    // fn started; once started, fn is always waited for. On the loop's thread fn
    // runs at once.
    bool Invoke(std::function<void()> fn, std::stop_token stop = {});
    bool OnMainThread() const noexcept;

    asio::io_context& Context() noexcept { return *m_context; }

private:
    std::unique_ptr<asio::io_context> m_context;
    std::atomic<std::thread::id> m_mainThread{};  // read by any thread
    mutable std::mutex m_lock;
    std::condition_variable_any m_changed;
    bool m_quitting = false;
    bool m_finishing = false;  // refuses new calls, keeps the queued ones
    std::string m_name;
};

// An event loop on a thread of its own, for work that must run in order but
// must not wait for, or hold up, the main thread. Finished (what was handed
// over runs) and joined when destroyed.
class TWorker {
public:
    explicit TWorker(std::string name = "worker", TFailureReport report = {});
    ~TWorker();
    TWorker(const TWorker&) = delete;
    TWorker& operator=(const TWorker&) = delete;

    TMainLoop& Loop() noexcept { return m_loop; }
    // Waits until everything handed over before this call has run. Not from
    // the worker's own thread.
    void Drain();

private:
    TMainLoop m_loop;
    std::thread m_thread;
};

// A main-thread timer with the countdown rule of the service: enabling starts a
// full interval afresh, disabling drops a pending tick. Main thread only.
class TTimer {
public:
    TTimer(TMainLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    void SetEnabled(bool enabled);
    bool Enabled() const noexcept;
    void SetInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds Interval() const noexcept;

private:
    struct TImpl;
    // Shared with pending waits, which may complete after the timer is gone.
    std::shared_ptr<TImpl> m_impl;
};

} // namespace platform
