#include "platform/MainLoop.hpp"

#include "platform/SysLog.hpp"
#include "platform/ThreadGuard.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <exception>
#include <string>

namespace platform {

TMainLoop::TMainLoop(std::string name) : m_context(std::make_unique<asio::io_context>(1)), m_name(std::move(name)) {}

TMainLoop::~TMainLoop() = default;

void TMainLoop::Run(const TFailureReport& report)
{
    m_mainThread = std::this_thread::get_id();
    auto work = asio::make_work_guard(*m_context);
    // A posted call or timer handler that throws would end run(): it is
    // reported and the next one goes on at once.
    const TFailureReport toSysLog = [](const std::string&, const std::string& what) {
        SysLogError("Main loop: a call failed (" + what + "); going on");
    };
    RunGuarded(m_name, {}, [this](std::stop_token) { m_context->run(); }, report ? report : toSysLog,
               std::chrono::milliseconds::zero());
}

void TMainLoop::Quit()
{
    {
        std::scoped_lock lock(m_lock);
        m_quitting = true;
    }
    m_changed.notify_all();
    m_context->stop();
}

void TMainLoop::Finish()
{
    {
        std::scoped_lock lock(m_lock);
        if (m_finishing)
            return;
        m_finishing = true;
    }
    // Queued behind every call handed over so far.
    asio::post(*m_context, [this] { m_context->stop(); });
}

bool TMainLoop::Quitting() const
{
    std::scoped_lock lock(m_lock);
    return m_quitting || m_finishing;
}

bool TMainLoop::OnMainThread() const noexcept
{
    return std::this_thread::get_id() == m_mainThread;
}

void TMainLoop::Post(std::function<void()> fn)
{
    {
        std::scoped_lock lock(m_lock);
        if (m_finishing)
            return;
    }
    asio::post(*m_context, std::move(fn));
}

bool TMainLoop::Invoke(std::function<void()> fn, std::stop_token stop)
{
    if (OnMainThread()) {
        fn();
        return true;
    }
    enum class TState { Pending, Running, Done, Cancelled };
    // Shared with the posted call, which may outlive a cancelled wait.
    auto state = std::make_shared<TState>(TState::Pending);
    {
        std::scoped_lock lock(m_lock);
        if (m_quitting || m_finishing)
            return false;
    }
    asio::post(*m_context, [this, state, fn = std::move(fn)] {
        {
            std::scoped_lock lock(m_lock);
            if (*state != TState::Pending)
                return;
            *state = TState::Running;
        }
        try {
            fn();
        } catch (const std::exception& e) {
            SysLogError(std::string("Main loop: a call from another thread failed (") + e.what() + ")");
        } catch (...) {
            SysLogError("Main loop: a call from another thread failed (unknown error)");
        }
        {
            std::scoped_lock lock(m_lock);
            *state = TState::Done;
        }
        m_changed.notify_all();
    });
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, stop, [&] { return *state == TState::Done || m_quitting; });
    if (*state == TState::Pending) {
        *state = TState::Cancelled;
        return false;
    }
    m_changed.wait(lock, [&] { return *state == TState::Done; });
    return true;
}

TWorker::TWorker(std::string name, TFailureReport report)
    : m_loop(std::move(name)), m_thread([this, report = std::move(report)] { m_loop.Run(report); })
{
}

TWorker::~TWorker()
{
    m_loop.Finish();
    m_thread.join();
}

void TWorker::Drain()
{
    m_loop.Invoke([] {});
}

struct TTimer::TImpl {
    TImpl(asio::io_context& context, std::chrono::milliseconds interval, std::function<void()> onTimer)
        : Timer(context), Interval(interval), OnTimer(std::move(onTimer))
    {
    }
    asio::steady_timer Timer;
    std::chrono::milliseconds Interval;
    std::function<void()> OnTimer;
    bool Enabled = false;
    std::uint64_t Generation = 0;
};

TTimer::TTimer(TMainLoop& loop, std::chrono::milliseconds interval, std::function<void()> onTimer)
    : m_impl(std::make_shared<TImpl>(loop.Context(), interval, std::move(onTimer)))
{
}

TTimer::~TTimer()
{
    m_impl->Enabled = false;
    m_impl->Timer.cancel();
}

bool TTimer::Enabled() const noexcept
{
    return m_impl->Enabled;
}

void TTimer::SetInterval(std::chrono::milliseconds interval)
{
    m_impl->Interval = interval;
}

std::chrono::milliseconds TTimer::Interval() const noexcept
{
    return m_impl->Interval;
}

void TTimer::SetEnabled(bool enabled)
{
    TImpl& impl = *m_impl;
    impl.Enabled = enabled;
    const std::uint64_t generation = ++impl.Generation;
    impl.Timer.cancel();
    if (!enabled)
        return;
    impl.Timer.expires_after(impl.Interval);
    impl.Timer.async_wait([weak = std::weak_ptr<TImpl>(m_impl), generation](const std::error_code& ec) {
        const auto self = weak.lock();
        if (ec || !self || generation != self->Generation || !self->Enabled)
            return;
        self->OnTimer();
    });
}

} // namespace platform
