#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace tools {

// One frame the host sent, as the simulator decoded it.
struct TReceivedFrame {
    std::chrono::steady_clock::time_point FirstByte;
    std::chrono::steady_clock::time_point At;  // last byte
    int Address = 0;
    std::string Data;      // command or poll letter and payload
    bool PayOnFoot = false;
};

// A presented reply, once its last byte went out.
struct TSentReply {
    int Address = 0;
    std::chrono::steady_clock::time_point At;
};

// Emulates field devices at chosen addresses on the far end of a serial line
// (a pseudo-terminal master, or a real port). Answers general polls with ACK
// unless a reply was presented, answers every command with ACK, and paces what
// it sends at the line's baud rate (10 bits a byte), counting the time the
// host's frame takes on the wire as well.
class TDeviceSimulator {
public:
    TDeviceSimulator(int fd, int baud, std::set<int> addresses);
    ~TDeviceSimulator();
    TDeviceSimulator(const TDeviceSimulator&) = delete;
    TDeviceSimulator& operator=(const TDeviceSimulator&) = delete;

    // The reply (type letter and payload) to the address's next general poll.
    void Present(int address, char type, std::string payload);
    // Raw bytes sent instead of the next reply to the address (noise, broken frames).
    void PresentRaw(int address, std::vector<std::uint8_t> bytes);
    // Counter and input payloads answered to "R" and "I" polls from now on.
    void SetCounter(int address, std::string payload);
    void SetInput(int address, std::string payload);
    void SetSilent(int address, bool silent);
    // A late device: its presented replies miss their own window and go out
    // in the window of the next frame the host sends to another address.
    void SetLate(int address, bool late);
    void AddDevice(int address);

    std::vector<TReceivedFrame> Frames();
    // The presented replies that went out, in order.
    std::vector<TSentReply> RepliesSent();
    void ClearFrames();
    // Prints every received frame, decoded with a time stamp, to out; nullptr
    // stops. Once it returns, the previous file is no longer written to.
    void SetTrace(std::FILE* out);
    std::size_t PendingReplies();

private:
    struct TDevice {
        bool Silent = false;
        bool Late = false;
        std::deque<std::vector<std::uint8_t>> Replies;
        std::optional<std::string> Counter;
        std::optional<std::string> Input;
    };
    void Run(std::stop_token stop);
    void Answer(const TReceivedFrame& frame, std::chrono::steady_clock::time_point firstByte, std::size_t frameBytes);
    void Send(const std::vector<std::uint8_t>& bytes, std::chrono::steady_clock::time_point notBefore);
    std::chrono::microseconds ByteTime(std::size_t bytes) const;

    int m_fd;
    int m_baud;
    std::mutex m_lock;
    std::map<int, TDevice> m_devices;
    std::vector<TReceivedFrame> m_frames;
    std::vector<TSentReply> m_repliesSent;
    std::optional<TSentReply> m_heldFrom;  // a late device's reply, held for the next window
    std::vector<std::uint8_t> m_held;
    std::mutex m_traceLock;  // guards m_trace; held while a frame is printed
    std::FILE* m_trace = nullptr;
    std::jthread m_thread;  // declared last
};

} // namespace tools
