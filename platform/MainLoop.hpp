#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace asio {
class io_context;
}

namespace platform {

// The main thread's event loop: it delivers timer ticks and the calls that
// other threads hand over, one at a time.
class TMainLoop {
public:
    TMainLoop();
    ~TMainLoop();
    TMainLoop(const TMainLoop&) = delete;
    TMainLoop& operator=(const TMainLoop&) = delete;

    // Runs on the calling thread, which becomes the main thread, until Quit().
    void Run();
    // Any thread. Pending calls are dropped; Invoke waiters return false.
    void Quit();
    bool Quitting() const;
    // Any thread: run fn on the main thread later.
    void Post(std::function<void()> fn);
    // Any thread: run fn on the main thread and wait until it has run. Returns
    // false, without running fn, when stop is requested or the loop quits before
    // fn started; once started, fn is always waited for. On the main thread fn
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
