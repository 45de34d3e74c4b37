#include "line/Frame.hpp"

#include "config/Format.hpp"
#include "line/Protocol.hpp"
#include "platform/LocalTime.hpp"

namespace line {

std::vector<std::uint8_t> BuildFrame(std::uint8_t start, int address, std::string_view data)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(data.size() + 4);
    frame.push_back(start);
    const auto addr = protocol::AddressByte(address);
    frame.push_back(addr);
    std::uint8_t check = addr;
    for (const char c : data) {
        frame.push_back(static_cast<std::uint8_t>(c));
        check ^= static_cast<std::uint8_t>(c);
    }
    frame.push_back(kEtx);
    check ^= kEtx;
    frame.push_back(check);
    return frame;
}

std::vector<std::uint8_t> BuildReply(std::string_view text)
{
    std::vector<std::uint8_t> frame;
    frame.push_back(kSoh);
    std::uint8_t check = kEot;
    for (const char c : text) {
        frame.push_back(static_cast<std::uint8_t>(c));
        check ^= static_cast<std::uint8_t>(c);
    }
    frame.push_back(kEot);
    frame.push_back(check);
    return frame;
}

TReplyAssembler::TStep TReplyAssembler::Feed(std::uint8_t byte)
{
    if (m_sawEnd) {
        std::uint8_t check = kEot;
        for (const char c : m_text)
            check ^= static_cast<std::uint8_t>(c);
        return check == byte ? TStep::Done : TStep::Bad;
    }
    switch (byte) {
    case kAck:
        m_text = "*";
        return TStep::Done;
    case kEot:
        m_sawEnd = true;
        return TStep::More;
    case kSoh:
        m_text.clear();
        return TStep::More;
    default:
        if (m_text.size() >= kMaxReplyText)
            return TStep::Bad;
        m_text += static_cast<char>(byte);
        return TStep::More;
    }
}

bool ReplyIsFrom(std::string_view text, int address) noexcept
{
    return text.empty() || text == "*" || static_cast<std::uint8_t>(text.front()) == protocol::AddressByte(address);
}

int ClaimedAddress(std::string_view text) noexcept
{
    return text.empty() ? 0 : protocol::AddressOf(static_cast<std::uint8_t>(text.front()));
}

std::string DateTimeStamp(const platform::TLocalTime& t)
{
    return config::Format("%.2d%.2d%.2d%.2d%.2d%.2d", t.Hour, t.Minute, t.Second, t.Year % 100, t.Month, t.Day);
}

std::string DateTimeStamp()
{
    return DateTimeStamp(platform::LocalNow());
}

} // namespace line
