#pragma once

#include "platform/LocalTime.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace line {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kPayOnFootStart = 0x05;
inline constexpr std::uint8_t kSoh = 0x01;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
// A reply longer than this is noise, not a device talking.
inline constexpr std::size_t kMaxReplyText = 1024;

// Host-to-device frame: start, 0x30 + address, data, 0x03, XOR check of all but the start.
std::vector<std::uint8_t> BuildFrame(std::uint8_t start, int address, std::string_view data);
// Device-to-host text frame: 0x01, text, 0x04, XOR of 0x04 and the text.
std::vector<std::uint8_t> BuildReply(std::string_view text);

// Fed one received byte at a time; knows nothing of time-outs.
class TReplyAssembler {
public:
    enum class TStep { More, Done, Bad };
    TStep Feed(std::uint8_t byte);
    // "*" for an ACK, else the reply text.
    const std::string& Text() const noexcept { return m_text; }

private:
    std::string m_text;
    bool m_sawEnd = false;
};

// Whether an assembled reply text came from the address polled: the ACK
// carries no address, a text reply names its sender in its first character.
// An empty text names nobody and contradicts nobody.
bool ReplyIsFrom(std::string_view text, int address) noexcept;
// The address a text reply names (its first character).
int ClaimedAddress(std::string_view text) noexcept;

// hhmmssYYMMDD of a local time, and of the local time now.
std::string DateTimeStamp(const platform::TLocalTime& t);
std::string DateTimeStamp();

} // namespace line
