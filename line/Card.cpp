#include "line/Card.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "line/Frame.hpp"
#include "line/Poll.hpp"
#include "line/Protocol.hpp"

namespace line {
namespace {

const std::string kEmpty;

bool ValidReader(int reader)
{
    return reader >= 0 && reader <= kMaxAddress;
}

} // namespace

TCard::TCard(platform::TMainLoop& mainLoop, config::TMessLog* log) : m_mainLoop(mainLoop), m_log(log) {}

TCard::~TCard()
{
    Close();
}

bool TCard::Open()
{
    for (auto& r : m_readers) {
        r.GateState = false;
        r.StampCapable = false;
    }
    Close();
    if (!Events.OnCounter)
        NoCounters = true;
    if (!Events.OnInput)
        NoInputs = true;
    auto poll = std::make_unique<TPoll>(*this, m_mainLoop, Events);
    poll->CurrentAddress = FirstReader();
    if (auto error = poll->OpenPort(Port.load())) {
        m_openError = *error;
        return false;
    }
    m_openError.clear();
    m_poll = std::move(poll);
    return true;
}

void TCard::Close()
{
    m_poll.reset();
}

void TCard::SetFirstReader(int value)
{
    if (value >= 1 && value <= kMaxAddress)
        m_firstReader = value;
}

void TCard::SetLastReader(int value)
{
    if (value <= kMaxAddress)
        m_lastReader = value;
}

void TCard::SetReaders(int count)
{
    if (count > 0)
        m_lastReader = std::min(FirstReader() + count - 1, kMaxAddress);
}

std::string TCard::CardNo() const
{
    return m_poll ? m_poll->LastPayload() : std::string();
}

void TCard::SetIdleMsg(int reader, std::string text)
{
    if (ValidReader(reader))
        m_readers[static_cast<std::size_t>(reader)].IdleMsg = std::move(text);
}

void TCard::SetActiveMsg(int reader, std::string text)
{
    if (ValidReader(reader))
        m_readers[static_cast<std::size_t>(reader)].ActiveMsg = std::move(text);
}

const std::string& TCard::IdleMsg(int reader) const
{
    return ValidReader(reader) ? m_readers[static_cast<std::size_t>(reader)].IdleMsg : kEmpty;
}

const std::string& TCard::ActiveMsg(int reader) const
{
    return ValidReader(reader) ? m_readers[static_cast<std::size_t>(reader)].ActiveMsg : kEmpty;
}

bool TCard::GateState(int reader) const noexcept
{
    return ValidReader(reader) && m_readers[static_cast<std::size_t>(reader)].GateState.load();
}

bool TCard::StampCapable(int reader) const noexcept
{
    return ValidReader(reader) && m_readers[static_cast<std::size_t>(reader)].StampCapable.load();
}

void TCard::MarkStampCapable(int reader) noexcept
{
    if (ValidReader(reader))
        m_readers[static_cast<std::size_t>(reader)].StampCapable = true;
}

bool TCard::Queue(int reader, char letter, std::string_view payload)
{
    if (!m_poll)
        return false;
    switch (m_poll->QueueCommand(reader, letter, payload)) {
    case TQueueResult::Queued:
        return true;
    case TQueueResult::OutOfRange:
        return false;
    case TQueueResult::Full:
        if (m_log)
            m_log->LogFmt(config::TLevel::Warning, "TCard - Command queue full, %s refused for address %d", std::string(1, letter), reader);
        return false;
    }
    return false;
}

bool TCard::GateOpenMsg(int reader, bool open, int pulse, std::string_view message)
{
    std::string payload;
    if (open)
        payload = config::Format("%.3d", ((pulse % 1000) + 1000) % 1000);
    payload.append(message);
    if (payload.size() > protocol::kMaxCommandPayload)
        payload.resize(protocol::kMaxCommandPayload);
    return Queue(reader, open ? protocol::kGateOpen : protocol::kRefuse, payload);
}

std::pair<char, std::string> TCard::GateCommand(int reader, bool state) const
{
    const bool stamp = StampCapable(reader);
    const char letter = state ? (stamp ? protocol::kHoldOpenStamped : protocol::kHoldOpen)
                              : (stamp ? protocol::kReleaseStamped : protocol::kRelease);
    std::string payload = stamp ? DateTimeStamp() : std::string();
    payload += state ? ActiveMsg(reader) : IdleMsg(reader);
    return {letter, payload};
}

bool TCard::SetGate(int reader, bool state)
{
    if (!ValidReader(reader))
        return false;
    const auto [letter, payload] = GateCommand(reader, state);
    auto& gate = m_readers[static_cast<std::size_t>(reader)].GateState;
    const bool before = gate.exchange(state);
    if (Queue(reader, letter, payload))
        return true;
    // A refused command was never sent: keep the state the device really has.
    if (m_poll)
        gate = before;
    return false;
}

bool TCard::SetDateTime(int reader, std::string_view text)
{
    return Queue(reader, protocol::kSetDateTime, text);
}

bool TCard::SignText(int reader, std::string_view text)
{
    return Queue(reader, protocol::kSignText, text);
}

bool TCard::LotFullOutput(int reader, bool full, int mask)
{
    const char c = static_cast<char>((mask + protocol::kMaskBase) & 0xFF);
    return Queue(reader, full ? protocol::kLotFullOn : protocol::kLotFullOff, std::string_view(&c, 1));
}

bool TCard::PulseOutput(int reader, int output, int count)
{
    std::string payload(1, static_cast<char>(output + protocol::kOutputBase));
    payload += std::to_string(count);
    return Queue(reader, protocol::kPulseOutput, payload);
}

bool TCard::SpitterAck(int reader, std::string_view text)
{
    return Queue(reader, protocol::kSpitterAck, text);
}

} // namespace line
