#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace line {

// Device addresses on a line: 1 to 16 (0 is kept for the loop's own texts).
inline constexpr int kMaxAddress = 16;
inline constexpr std::size_t kAddressSlots = kMaxAddress + 1;

// Event kinds as queued by the poll thread.
enum class TEventKind : std::uint8_t {
    None = 0,
    Counter = 1,
    Input = 2,
    DiscCode = 3,
    Deposit = 4,
    BarCode = 5,
    Data = 6,
    InputOn = 7,
    InputOff = 8,
    ButtonUp = 9,
    ButtonDown = 10,
    Error = 11,
    ErrorEx = 12,
    PowerUp = 13,
    EscrowLever = 14,
    CashBox = 15,
    CommStatus = 16,
    Printer = 17,
    Memory = 18,
};

struct TEventValues {
    std::int16_t Reader = 0;
    std::int16_t Board = 0;
    std::int16_t Input = 0;
    bool Comstat = false;
    std::string Value;
};

using TReaderEvent = std::function<void(int reader)>;
using TCardEvent = std::function<void(int reader, const std::string& value)>;
using TInputEvent = std::function<void(int reader, int board, int input)>;
using TCommEvent = std::function<void(int reader, bool comstat)>;

// The handlers of one line; empty ones are not bound.
struct TLineEvents {
    TCardEvent OnCounter, OnInput, OnDeposit, OnPrinter, OnDiscCode, OnBarCode, OnData, OnMemory;
    TInputEvent OnInputOn, OnInputOff;
    TCardEvent OnButtonUp, OnButtonDown;
    TReaderEvent OnError;
    TCommEvent OnErrorEx;
    TReaderEvent OnPowerUp, OnEscrowLever, OnCashBox;
    TCommEvent OnCommStatus;
};

} // namespace line
