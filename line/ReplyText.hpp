#pragma once

#include "line/Events.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace line {

// The counter reply state of one address: the first reading after start-up
// or a power-up is only a baseline.
struct TCounterBaseline {
    bool Pending = true;
    std::string LastText;
};

// What one reply from a device asks of the line, in the order it is done:
// mark the device stamp-capable, queue the acknowledgement, re-send the gate
// state (a power-up), then post the events.
struct TReplyEffects {
    bool StampCapable = false;
    std::optional<std::pair<char, std::string>> Ack;
    bool ResendGate = false;
    std::vector<std::pair<TEventKind, TEventValues>> Events;
};

// Decodes the reply text of a device (address byte, type letter, payload).
// Pure: no I/O, no clock; any text is accepted (unknown types do nothing).
TReplyEffects DecodeReply(int address, std::string_view reply, TCounterBaseline& counter);

} // namespace line
