#include "line/ReplyText.hpp"

#include "line/Protocol.hpp"

#include <cstdint>

namespace line {
namespace {

// Replies answered with an acknowledgement letter and posted as one event.
struct TAckedReply {
    char Type;
    char Ack;
    TEventKind Kind;
    bool WithPayload;
};
constexpr TAckedReply kAckedReplies[] = {
    {'#', 'A', TEventKind::BarCode, true},
    {protocol::kCardReply, protocol::kRefuse, TEventKind::Data, true},
    {'D', 'D', TEventKind::DiscCode, true},     {'E', 'E', TEventKind::EscrowLever, false},
    {protocol::kPrinterReply, protocol::kPrinterReply, TEventKind::Printer, true},
    {protocol::kMemoryReply, protocol::kMemoryReply, TEventKind::Memory, true},
    {'U', 'U', TEventKind::CashBox, false},     {'Z', 'Z', TEventKind::Deposit, true},
};
// The other replies.
constexpr char kKeyReply = 'K';           // acknowledged with the key
constexpr char kInputChangesReply = 'L';  // acknowledged with the board

constexpr std::size_t kMaxInputsPerBoard = 64;
constexpr char kInputOff = '1';
constexpr char kInputOn = '2';
constexpr char kKeyUp = '1';

TEventValues Values(int address, std::string value = std::string())
{
    TEventValues v;
    v.Reader = static_cast<std::int16_t>(address);
    v.Value = std::move(value);
    return v;
}

// L: board nibble, then one state character per input.
void DecodeInputChanges(int address, std::string_view payload, TReplyEffects& out)
{
    if (payload.empty())
        return;
    out.Ack = {kInputChangesReply, std::string(payload.substr(0, 1))};
    const auto board = static_cast<std::int16_t>(static_cast<unsigned char>(payload[0]) & 0x0F);
    for (std::size_t i = 0; i < kMaxInputsPerBoard && i + 1 < payload.size(); ++i) {
        const char c = payload[i + 1];
        if (c != kInputOff && c != kInputOn)
            continue;
        TEventValues v = Values(address);
        v.Board = board;
        v.Input = static_cast<std::int16_t>(i);
        out.Events.emplace_back(c == kInputOff ? TEventKind::InputOff : TEventKind::InputOn, v);
    }
}

// R: the first reading is the baseline; later ones are posted when they change.
void DecodeCounter(int address, std::string_view payload, TCounterBaseline& counter, TReplyEffects& out)
{
    if (counter.Pending) {
        counter.LastText = payload;
        counter.Pending = false;
    } else if (payload != counter.LastText) {
        counter.LastText = payload;
        out.Events.emplace_back(TEventKind::Counter, Values(address, std::string(payload)));
    }
}

} // namespace

TReplyEffects DecodeReply(int address, std::string_view reply, TCounterBaseline& counter)
{
    TReplyEffects out;
    if (reply.size() < 2)
        return out;  // an ACK
    const char type = reply[1];
    const std::string payload(reply.size() > 2 ? reply.substr(2) : std::string_view());
    for (const auto& r : kAckedReplies)
        if (r.Type == type) {
            out.Ack = {r.Ack, std::string()};
            out.Events.emplace_back(r.Kind, Values(address, r.WithPayload ? payload : std::string()));
            return out;
        }
    switch (type) {
    case protocol::kInputReply: out.Events.emplace_back(TEventKind::Input, Values(address, payload)); break;
    case kKeyReply: {
        const std::string key = payload.substr(0, 1);
        out.Ack = {kKeyReply, key};
        const bool up = payload.size() > 1 && payload[1] == kKeyUp;
        out.Events.emplace_back(up ? TEventKind::ButtonUp : TEventKind::ButtonDown, Values(address, key));
        break;
    }
    case kInputChangesReply: DecodeInputChanges(address, payload, out); break;
    case protocol::kStampPowerUpReply:
        out.StampCapable = true;
        [[fallthrough]];
    case protocol::kPowerUpReply:
        out.ResendGate = true;
        counter.Pending = true;
        out.Events.emplace_back(TEventKind::PowerUp, Values(address));
        break;
    case protocol::kCounterReply: DecodeCounter(address, payload, counter, out); break;
    default: break;
    }
    return out;
}

} // namespace line
