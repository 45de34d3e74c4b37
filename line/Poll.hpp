#pragma once

#include "line/CommandRing.hpp"
#include "line/Events.hpp"
#include "line/ProcessInfo.hpp"
#include "line/ReplyText.hpp"
#include "platform/Metrics.hpp"
#include "platform/SerialPort.hpp"
#include "platform/ThreadGuard.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

namespace platform {
class TMainLoop;
}

namespace line {

class TCard;

enum class TQueueResult { Queued, OutOfRange, Full };

// The poll thread of one line: all serial I/O, the online bookkeeping per
// address, and the command queue.
class TPoll {
public:
    TPoll(TCard& card, platform::TMainLoop& mainLoop, const TLineEvents& events);
    ~TPoll();
    TPoll(const TPoll&) = delete;
    TPoll& operator=(const TPoll&) = delete;

    // Opens the port and starts the thread; the reason on failure.
    std::optional<std::string> OpenPort(int portNumber);
    // Any thread. Commands for addresses outside FirstReader..LastReader are
    // dropped; a full queue refuses the command.
    TQueueResult QueueCommand(int address, char letter, std::string_view payload);
    std::string LastPayload();
    bool Online(int address) const;

    int CurrentAddress = 0;
    static constexpr std::chrono::milliseconds kErrorPause{1000};

    // The byte steps, public for tests on a pseudo-terminal.
    bool SendFrame(int address, std::string_view data);
    // A reply counts only when it came from the address polled.
    bool ReadReply(int address, std::string& reply);
    bool Transact(int address, int attempts, std::string& reply, std::string_view data);

private:
    struct TAddressState {
        std::atomic<bool> Online{true};  // read by other threads through Online()
        int Failures = 0;
        bool FirstContact = true;
        int CounterTicks = 0;
        int InputTicks = 0;
        int LastStampHour = 0;
        TCounterBaseline Counter;
    };

    void Run(std::stop_token stop);
    // A closing line still sends what was queued (the gate of a card decided
    // just before), one attempt each, to the devices on line.
    void SendQueuedCommands();
    // The device behind the port went away: offline, then reopen until it is back.
    void RecoverLostPort(std::stop_token stop);
    // An error escaped a cycle: logged, the devices off line, a pause, go on.
    void RecoverFromError(std::stop_token stop, const std::string& error, std::string& lastError);
    void TakeDevicesOffline();
    // False when the thread is asked to stop meanwhile.
    static bool PauseFor(std::stop_token stop, std::chrono::milliseconds pause);
    void PollCycle();
    std::string PollText(int address);
    void HandleReply(int address, const std::string& reply);
    void Post(TEventKind kind, int address, std::string value = std::string(), bool comstat = false);
    platform::TMetrics::TLabels LineLabels() const;
    platform::TFailureReport FailureReport() const;
    // The line's series from its first scrape.
    void TouchMetrics();
    void PublishOnline(int address, bool online);
    std::optional<std::uint8_t> ReadOneByte();
    void NoteForeignReply(int polled, int claimed);

    TCard& m_card;
    TProcessInfo m_dispatcher;
    platform::TSerialPort m_port;
    std::string m_portPath;
    std::array<TAddressState, kAddressSlots> m_state;
    std::optional<std::chrono::steady_clock::time_point> m_replyBase;
    std::optional<std::chrono::steady_clock::time_point> m_foreignLoggedAt;  // once a minute
    mutable std::mutex m_queueLock;  // guards m_queue and m_lastPayload only
    TCommandRing m_queue;
    std::string m_lastPayload;
    std::jthread m_thread;  // declared last: stopped and joined first
};

} // namespace line
