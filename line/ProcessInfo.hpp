#pragma once

#include "line/Events.hpp"

#include <array>
#include <deque>
#include <utility>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace config {
class TMessLog;
}
namespace platform {
class TMainLoop;
}

namespace line {

// The event queue between the poll thread (the one producer) and the dispatch
// thread (the one consumer): at most 63 pending, in arrival order. A card,
// memory record or barcode is never dropped while other events wait: when the
// queue is full the oldest of those gives way.
class TEventRing {
public:
    static constexpr std::size_t kCapacity = 63;

    // Poll thread. False when the event is lost: the queue is full of events
    // that do not give way. A comm-status event while one is pending is not
    // stored, and counts as posted.
    bool Post(TEventKind kind, const TEventValues& values);
    // Dispatch thread: the oldest event, if any; Pop() consumes it.
    bool Peek(TEventKind& kind, TEventValues& values) const;
    void Pop();
    std::size_t Pending() const;

    // Cards, memory records and barcodes: what a person at a reader waits for.
    static bool IsPassage(TEventKind kind) noexcept;

private:
    mutable std::mutex m_lock;
    std::deque<std::pair<TEventKind, TEventValues>> m_events;
};

// The dispatch thread: hands one event at a time to its handler on the event
// loop it was given (the loop's worker) and waits for it, 30 ms between passes. Events without a handler are
// dropped in the same pass, so they never hold up one that has a handler.
// With prompt set, a line that has been quiet for a pass interval sleeps until
// the next post and delivers it at once; bursts are paced as before.
class TProcessInfo {
public:
    // A handler's error that escapes it goes to log (when given), and the
    // next event is delivered as usual.
    TProcessInfo(platform::TMainLoop& mainLoop, const TLineEvents& events, const std::atomic<bool>& prompt,
                 config::TMessLog* log = nullptr);
    ~TProcessInfo();
    TProcessInfo(const TProcessInfo&) = delete;
    TProcessInfo& operator=(const TProcessInfo&) = delete;

    // Poll thread: queues an event that has a handler (false when the queue is
    // full and it is lost) and wakes a sleeping dispatcher.
    bool Post(TEventKind kind, const TEventValues& values);
    TEventRing& Queue() noexcept { return m_queue; }
    // Stops the thread and waits for it; a delivery not yet started is dropped.
    void Stop();

    static constexpr std::chrono::milliseconds kPassInterval{30};

private:
    void Run(std::stop_token stop);
    // Any thread: the handlers are set before the line opens and never after.
    static bool HasHandler(const TLineEvents& events, TEventKind kind);
    static void Deliver(const TLineEvents& events, TEventKind kind, const TEventValues& values);
    void DeliverGuarded(TEventKind kind, const TEventValues& values) noexcept;

    platform::TMainLoop& m_mainLoop;
    const TLineEvents m_events;  // copied when the line opens: frozen while it runs
    const std::atomic<bool>& m_prompt;
    config::TMessLog* m_log;
    TEventRing m_queue;
    std::mutex m_sleepLock;
    std::condition_variable_any m_sleep;
    std::jthread m_thread;  // declared last: stopped and joined first
};

} // namespace line
