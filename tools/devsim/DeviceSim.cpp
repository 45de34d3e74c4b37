#include "tools/devsim/DeviceSim.hpp"

#include "line/Frame.hpp"
#include "line/Protocol.hpp"
#include "platform/LocalTime.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace tools {
namespace {

using TClock = std::chrono::steady_clock;

std::string Printable(const std::string& data)
{
    std::string out;
    for (const char c : data) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", u);
            out += buf;
        }
    }
    return out;
}

} // namespace

TDeviceSimulator::TDeviceSimulator(int fd, int baud, std::set<int> addresses) : m_fd(fd), m_baud(baud)
{
    for (int a : addresses)
        m_devices[a];
    m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
}

TDeviceSimulator::~TDeviceSimulator()
{
    m_thread.request_stop();
}

std::chrono::microseconds TDeviceSimulator::ByteTime(std::size_t bytes) const
{
    return std::chrono::microseconds(static_cast<long long>(bytes) * 10'000'000LL / m_baud);
}

void TDeviceSimulator::SetTrace(std::FILE* out)
{
    std::scoped_lock lock(m_traceLock);
    m_trace = out;
}

void TDeviceSimulator::AddDevice(int address)
{
    std::scoped_lock lock(m_lock);
    m_devices[address];
}

void TDeviceSimulator::Present(int address, char type, std::string payload)
{
    std::string text(1, static_cast<char>(line::protocol::AddressByte(address)));
    text += type;
    text += payload;
    PresentRaw(address, line::BuildReply(text));
}

void TDeviceSimulator::PresentRaw(int address, std::vector<std::uint8_t> bytes)
{
    std::scoped_lock lock(m_lock);
    m_devices[address].Replies.push_back(std::move(bytes));
}

void TDeviceSimulator::SetCounter(int address, std::string payload)
{
    std::scoped_lock lock(m_lock);
    m_devices[address].Counter = std::move(payload);
}

void TDeviceSimulator::SetInput(int address, std::string payload)
{
    std::scoped_lock lock(m_lock);
    m_devices[address].Input = std::move(payload);
}

void TDeviceSimulator::SetSilent(int address, bool silent)
{
    std::scoped_lock lock(m_lock);
    m_devices[address].Silent = silent;
}

void TDeviceSimulator::SetLate(int address, bool late)
{
    std::scoped_lock lock(m_lock);
    m_devices[address].Late = late;
}

std::vector<TReceivedFrame> TDeviceSimulator::Frames()
{
    std::scoped_lock lock(m_lock);
    return m_frames;
}

void TDeviceSimulator::ClearFrames()
{
    std::scoped_lock lock(m_lock);
    m_frames.clear();
    m_repliesSent.clear();
}

std::vector<TSentReply> TDeviceSimulator::RepliesSent()
{
    std::scoped_lock lock(m_lock);
    return m_repliesSent;
}

std::size_t TDeviceSimulator::PendingReplies()
{
    std::scoped_lock lock(m_lock);
    std::size_t n = 0;
    for (const auto& [a, d] : m_devices)
        n += d.Replies.size();
    return n + (m_heldFrom ? 1 : 0);
}

void TDeviceSimulator::Send(const std::vector<std::uint8_t>& bytes, TClock::time_point notBefore)
{
    // The reply occupies the line for its own length too.
    std::this_thread::sleep_until(notBefore + ByteTime(bytes.size()));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

void TDeviceSimulator::Answer(const TReceivedFrame& frame, TClock::time_point firstByte, std::size_t frameBytes)
{
    std::vector<std::uint8_t> reply, late;
    std::optional<int> lateFrom;
    bool presented = false;
    {
        std::scoped_lock lock(m_lock);
        m_frames.push_back(frame);
        if (m_heldFrom && m_heldFrom->Address != frame.Address) {
            lateFrom = m_heldFrom->Address;
            late = std::move(m_held);
            m_heldFrom.reset();
        }
        const auto it = m_devices.find(frame.Address);
        if (it != m_devices.end() && !it->second.Silent) {
            TDevice& d = it->second;
            const char letter = frame.Data.empty() ? ' ' : frame.Data[0];
            const std::string prefix{static_cast<char>(line::protocol::AddressByte(frame.Address))};
            if (letter == line::protocol::kGeneralPoll && !d.Replies.empty()) {
                reply = std::move(d.Replies.front());
                d.Replies.pop_front();
                presented = true;
                if (d.Late && !m_heldFrom) {
                    m_heldFrom = TSentReply{frame.Address, {}};
                    m_held = std::move(reply);
                    reply.clear();
                    presented = false;
                }
            } else if (letter == line::protocol::kCounterPoll && d.Counter) {
                reply = line::BuildReply(prefix + line::protocol::kCounterReply + *d.Counter);
            } else if (letter == line::protocol::kInputPoll && d.Input) {
                reply = line::BuildReply(prefix + line::protocol::kInputReply + *d.Input);
            } else {
                reply = {line::kAck};
            }
        }
    }
    const auto notBefore = firstByte + ByteTime(frameBytes);
    if (lateFrom) {
        Send(late, notBefore);
        std::scoped_lock lock(m_lock);
        m_repliesSent.push_back({*lateFrom, TClock::now()});
    }
    if (reply.empty())
        return;
    Send(reply, notBefore);
    if (presented) {
        std::scoped_lock lock(m_lock);
        m_repliesSent.push_back({frame.Address, TClock::now()});
    }
}

void TDeviceSimulator::Run(std::stop_token stop)
{
    enum class TState { Idle, Address, Data, Check } state = TState::Idle;
    TReceivedFrame frame;
    std::uint8_t check = 0;
    std::size_t bytes = 0;
    TClock::time_point firstByte;
    while (!stop.stop_requested()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        if (!(p.revents & POLLIN)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // far end closed for now
            continue;
        }
        std::uint8_t buf[256];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t b = buf[i];
            switch (state) {
            case TState::Idle:
                if (b == line::kStx || b == line::kPayOnFootStart) {
                    frame = TReceivedFrame{};
                    frame.PayOnFoot = b == line::kPayOnFootStart;
                    firstByte = TClock::now();
                    frame.FirstByte = firstByte;
                    bytes = 1;
                    state = TState::Address;
                }
                break;
            case TState::Address:
                frame.Address = line::protocol::AddressOf(b);
                check = b;
                ++bytes;
                state = TState::Data;
                break;
            case TState::Data:
                ++bytes;
                check ^= b;
                if (b == line::kEtx)
                    state = TState::Check;
                else
                    frame.Data += static_cast<char>(b);
                break;
            case TState::Check:
                ++bytes;
                state = TState::Idle;
                frame.At = TClock::now();
                if (std::scoped_lock lock(m_traceLock); std::FILE* trace = m_trace) {
                    const auto t = platform::LocalNow();
                    std::fprintf(trace, "%02d:%02d:%02d.%03d <- %2d %s%s%s\n", t.Hour, t.Minute, t.Second,
                                 t.Millisecond, frame.Address, Printable(frame.Data).c_str(), frame.PayOnFoot ? " (pay on foot)" : "",
                                 b == check ? "" : " BAD CHECK");
                    std::fflush(trace);
                }
                if (b == check)
                    Answer(frame, firstByte, bytes);
                break;
            }
        }
    }
}

} // namespace tools
