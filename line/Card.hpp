#pragma once

#include "line/Events.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace config {
class TMessLog;
}
namespace platform {
class TMainLoop;
}

namespace line {

class TPoll;

// The line component of one loop: its settings, per-reader texts and states,
// event handlers and command operations. Created and configured by its loop's
// set-up (the main thread), opened and closed there; its command operations
// are called from the loop's worker and the main tick (any thread: they only
// queue); its events are delivered on the event loop it was given (the
// loop's worker); the poll thread reads the settings at the moment of use.
class TCard {
public:
    explicit TCard(platform::TMainLoop& mainLoop, config::TMessLog* log = nullptr);
    ~TCard();
    TCard(const TCard&) = delete;
    TCard& operator=(const TCard&) = delete;

    // Handlers; set before Open. Unset ones are not delivered.
    TLineEvents Events;

    // Starts the poll and dispatch threads on Port; false (see LastOpenError)
    // when the port cannot be opened or configured.
    bool Open();
    // Stops the threads and waits for them; events still queued are dropped.
    // The thread that opened it, not from inside one of this line's handlers.
    void Close();
    bool IsOpen() const noexcept { return m_poll != nullptr; }
    const std::string& LastOpenError() const noexcept { return m_openError; }

    int FirstReader() const noexcept { return m_firstReader.load(); }
    int LastReader() const noexcept { return m_lastReader.load(); }
    int Readers() const noexcept { return LastReader() - FirstReader() + 1; }
    void SetFirstReader(int value);  // 1..kMaxAddress, else ignored
    void SetLastReader(int value);   // up to kMaxAddress, else ignored
    void SetReaders(int count);      // > 0, last at most kMaxAddress

    std::atomic<int> Port{1};
    std::atomic<int> Baud{9600};
    std::atomic<int> TurnAround{0};
    std::atomic<int> PollDelay{0};
    std::atomic<int> RespDelay{0};
    std::atomic<int> OffLineDelay{40};
    std::atomic<bool> PayOnFoot{false};
    std::atomic<bool> NoCounters{false};
    // The loop whose line this is, for the monitoring's labels; set before Open.
    int LoopId = 0;
    std::atomic<bool> NoInputs{false};
    // The first event after a quiet spell (no pass for 30 ms) is delivered at
    // once instead of at the next 30 ms pass; bursts are paced as before.
    std::atomic<bool> PromptDispatch{true};
    // A port whose device went away (adapter unplugged) is reopened this
    // often until it opens again.
    std::atomic<int> ReopenDelayMs{5000};
    // Run by the poll thread at the start of every cycle; set before Open.
    // For tests that make a cycle fail.
    std::function<void()> BeforePollCycle;
    // Payload of the most recent successful poll reply; empty while closed.
    std::string CardNo() const;

    // Per-reader texts, set by the loop controller before Open.
    void SetIdleMsg(int reader, std::string text);
    void SetActiveMsg(int reader, std::string text);
    const std::string& IdleMsg(int reader) const;
    const std::string& ActiveMsg(int reader) const;
    bool GateState(int reader) const noexcept;
    bool StampCapable(int reader) const noexcept;
    void MarkStampCapable(int reader) noexcept;  // poll thread

    // Command operations: false when the line is closed, the reader is outside
    // FirstReader..LastReader, or the command queue is full (logged); the
    // caller may then try again later.
    bool GateOpenMsg(int reader, bool open, int pulse, std::string_view message);
    // The letter and payload that put the gate in this state; any thread (the
    // texts and stamp flags it reads are fixed or atomic while the line runs).
    std::pair<char, std::string> GateCommand(int reader, bool state) const;
    bool SetGate(int reader, bool state);
    bool SetDateTime(int reader, std::string_view text);
    bool SignText(int reader, std::string_view text);
    bool LotFullOutput(int reader, bool full, int mask);
    bool PulseOutput(int reader, int output, int count);
    bool SpitterAck(int reader, std::string_view text);

    TPoll* Poll() noexcept { return m_poll.get(); }
    config::TMessLog* MessageLog() const noexcept { return m_log; }

private:
    struct TReaderState {
        std::string IdleMsg;
        std::string ActiveMsg;
        std::atomic<bool> GateState{false};
        std::atomic<bool> StampCapable{false};
    };
    bool Queue(int reader, char letter, std::string_view payload);

    platform::TMainLoop& m_mainLoop;
    config::TMessLog* m_log;
    std::atomic<int> m_firstReader{1};
    std::atomic<int> m_lastReader{0};
    std::array<TReaderState, kAddressSlots> m_readers;
    std::string m_openError;
    std::unique_ptr<TPoll> m_poll;  // declared last: closed first
};

} // namespace line
