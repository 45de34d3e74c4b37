#include "line/ProcessInfo.hpp"

#include "config/MessLog.hpp"
#include "platform/MainLoop.hpp"

#include <algorithm>
#include <exception>
#include <string>

namespace line {

bool TEventRing::IsPassage(TEventKind kind) noexcept
{
    return kind == TEventKind::Data || kind == TEventKind::Memory || kind == TEventKind::BarCode;
}

bool TEventRing::Post(TEventKind kind, const TEventValues& values)
{
    std::scoped_lock lock(m_lock);
    if (kind == TEventKind::CommStatus)
        for (const auto& e : m_events)
            if (e.first == TEventKind::CommStatus)
                return true;
    if (m_events.size() >= kCapacity) {
        if (!IsPassage(kind))
            return false;
        // The oldest event that nobody waits for at a gate makes room.
        const auto yields = std::find_if(m_events.begin(), m_events.end(),
                                         [](const auto& e) { return !IsPassage(e.first); });
        if (yields == m_events.end())
            return false;
        m_events.erase(yields);
    }
    m_events.emplace_back(kind, values);
    return true;
}

bool TEventRing::Peek(TEventKind& kind, TEventValues& values) const
{
    std::scoped_lock lock(m_lock);
    if (m_events.empty())
        return false;
    kind = m_events.front().first;
    values = m_events.front().second;
    return true;
}

void TEventRing::Pop()
{
    std::scoped_lock lock(m_lock);
    if (!m_events.empty())
        m_events.pop_front();
}

std::size_t TEventRing::Pending() const
{
    std::scoped_lock lock(m_lock);
    return m_events.size();
}

TProcessInfo::TProcessInfo(platform::TMainLoop& mainLoop, const TLineEvents& events, const std::atomic<bool>& prompt,
                           config::TMessLog* log)
    : m_mainLoop(mainLoop),
      m_events(events),
      m_prompt(prompt),
      m_log(log),
      m_thread([this](std::stop_token stop) {
          platform::RunGuarded("event dispatch", stop, [this](std::stop_token s) { Run(s); },
                               m_log ? config::ThreadFailureLogger(*m_log) : platform::TFailureReport());
      })
{
}

bool TProcessInfo::Post(TEventKind kind, const TEventValues& values)
{
    // An event nobody handles (the comm status of every frame, as a rule) is
    // dropped here, as a pass would drop it, and wakes nobody.
    if (!HasHandler(m_events, kind))
        return true;
    const bool stored = m_queue.Post(kind, values);
    // Under the lock, so the wake-up cannot fall between the dispatcher's look
    // at the queue and its sleep.
    std::scoped_lock lock(m_sleepLock);
    m_sleep.notify_all();
    return stored;
}

TProcessInfo::~TProcessInfo()
{
    Stop();
}

void TProcessInfo::Stop()
{
    m_thread.request_stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool TProcessInfo::HasHandler(const TLineEvents& e, TEventKind kind)
{
    switch (kind) {
    case TEventKind::Counter: return bool(e.OnCounter);
    case TEventKind::Input: return bool(e.OnInput);
    case TEventKind::DiscCode: return bool(e.OnDiscCode);
    case TEventKind::Deposit: return bool(e.OnDeposit);
    case TEventKind::BarCode: return bool(e.OnBarCode);
    case TEventKind::Data: return bool(e.OnData);
    case TEventKind::InputOn: return bool(e.OnInputOn);
    case TEventKind::InputOff: return bool(e.OnInputOff);
    case TEventKind::ButtonUp: return bool(e.OnButtonUp);
    case TEventKind::ButtonDown: return bool(e.OnButtonDown);
    case TEventKind::Error: return bool(e.OnError);
    case TEventKind::ErrorEx: return bool(e.OnErrorEx);
    case TEventKind::PowerUp: return bool(e.OnPowerUp);
    case TEventKind::EscrowLever: return bool(e.OnEscrowLever);
    case TEventKind::CashBox: return bool(e.OnCashBox);
    case TEventKind::CommStatus: return bool(e.OnCommStatus);
    case TEventKind::Printer: return bool(e.OnPrinter);
    case TEventKind::Memory: return bool(e.OnMemory);
    default: return false;
    }
}

void TProcessInfo::Deliver(const TLineEvents& e, TEventKind kind, const TEventValues& v)
{
    switch (kind) {
    case TEventKind::Counter: e.OnCounter(v.Reader, v.Value); break;
    case TEventKind::Input: e.OnInput(v.Reader, v.Value); break;
    case TEventKind::DiscCode: e.OnDiscCode(v.Reader, v.Value); break;
    case TEventKind::Deposit: e.OnDeposit(v.Reader, v.Value); break;
    case TEventKind::BarCode: e.OnBarCode(v.Reader, v.Value); break;
    case TEventKind::Data: e.OnData(v.Reader, v.Value); break;
    case TEventKind::InputOn: e.OnInputOn(v.Reader, v.Board, v.Input); break;
    case TEventKind::InputOff: e.OnInputOff(v.Reader, v.Board, v.Input); break;
    case TEventKind::ButtonUp: e.OnButtonUp(v.Reader, v.Value); break;
    case TEventKind::ButtonDown: e.OnButtonDown(v.Reader, v.Value); break;
    case TEventKind::Error: e.OnError(v.Reader); break;
    case TEventKind::ErrorEx: e.OnErrorEx(v.Reader, v.Comstat); break;
    case TEventKind::PowerUp: e.OnPowerUp(v.Reader); break;
    case TEventKind::EscrowLever: e.OnEscrowLever(v.Reader); break;
    case TEventKind::CashBox: e.OnCashBox(v.Reader); break;
    case TEventKind::CommStatus: e.OnCommStatus(v.Reader, v.Comstat); break;
    case TEventKind::Printer: e.OnPrinter(v.Reader, v.Value); break;
    case TEventKind::Memory: e.OnMemory(v.Reader, v.Value); break;
    default: break;
    }
}

void TProcessInfo::DeliverGuarded(TEventKind kind, const TEventValues& values) noexcept
{
    std::string error;
    try {
        Deliver(m_events, kind, values);
        return;
    } catch (const std::exception& e) {
        error = e.what();
    } catch (...) {
        error = "unknown error";
    }
    if (m_log)
        m_log->LogFmt(config::TLevel::Error, "TCard - Event %d of address %d failed in its handler (%s); going on with the next",
                      static_cast<int>(kind), static_cast<int>(values.Reader), error);
}

void TProcessInfo::Run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        TEventKind kind = TEventKind::None;
        TEventValues values;
        // Drop what nobody handles, then deliver at most one event this pass.
        while (m_queue.Peek(kind, values) && !HasHandler(m_events, kind))
            m_queue.Pop();
        if (m_queue.Peek(kind, values)) {
            const bool ran = m_mainLoop.Invoke([&] { DeliverGuarded(kind, values); }, stop);
            if (ran)
                m_queue.Pop();
        }
        std::unique_lock lock(m_sleepLock);
        // Passes stay at least a pass interval apart whatever is posted.
        m_sleep.wait_for(lock, stop, kPassInterval, [] { return false; });
        if (m_prompt.load())
            m_sleep.wait(lock, stop, [this] { return m_queue.Pending() > 0; });
    }
}

} // namespace line
