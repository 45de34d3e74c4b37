#pragma once

#include <cstddef>
#include <cstdint>

// The vocabulary of the serial line, shared by the poll thread, the line
// component and the device simulator.
namespace line::protocol {

// The address byte of a frame: 0x30 + the address.
inline constexpr std::uint8_t kAddressBase = 0x30;
inline constexpr std::uint8_t AddressByte(int address) noexcept
{
    return static_cast<std::uint8_t>(kAddressBase + address);
}
inline constexpr int AddressOf(std::uint8_t byte) noexcept { return byte - kAddressBase; }

// Polls.
inline constexpr char kGeneralPoll = 'C';
inline constexpr char kCounterPoll = 'R';
inline constexpr char kInputPoll = 'I';
inline constexpr char kStampPoll = 'S';  // carries the date-time stamp
// A device is asked for its counters after this many polls, for its inputs after this many.
inline constexpr int kPollsPerCounterPoll = 10;
inline constexpr int kPollsPerInputPoll = 20;
// Missed replies in a row that take a device off line.
inline constexpr int kOffLineAfterMisses = 4;

// Commands.
inline constexpr char kGateOpen = 'G';        // pulse (three digits) and text
inline constexpr char kRefuse = 'B';          // text; bare, it acknowledges a card reply
inline constexpr char kHoldOpen = 'O';        // 'o' with a stamp first
inline constexpr char kHoldOpenStamped = 'o';
inline constexpr char kRelease = 'X';         // 'x' with a stamp first
inline constexpr char kReleaseStamped = 'x';
inline constexpr char kSetDateTime = 'M';
inline constexpr char kSignText = 'L';
inline constexpr char kLotFullOn = 'W';
inline constexpr char kLotFullOff = 'F';
inline constexpr char kPulseOutput = 'P';
inline constexpr char kSpitterAck = 'Y';
// A gate command's payload is cut to this many characters.
inline constexpr std::size_t kMaxCommandPayload = 128;
// Output numbers and masks travel as characters from these bases.
inline constexpr int kOutputBase = 0x3F;
inline constexpr int kMaskBase = 0x40;

// Replies.
inline constexpr char kCardReply = 'C';
inline constexpr char kCounterReply = 'R';
inline constexpr char kInputReply = 'I';
inline constexpr char kMemoryReply = 'M';
inline constexpr char kPrinterReply = 'J';
inline constexpr char kPowerUpReply = 'P';
inline constexpr char kStampPowerUpReply = 'p';  // a power-up of a device that takes time stamps

// The sign text: a line code, then the text in the sign's escapes.
inline constexpr char kSignStart = '\x14';
inline constexpr char kSignTextStart = '\x16';

} // namespace line::protocol
