#include "line/ReplyText.hpp"

#include <cstdint>

namespace line {
namespace {

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
    out.Ack = {'L', std::string(payload.substr(0, 1))};
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
    const std::string payload(reply.size() > 2 ? reply.substr(2) : std::string_view());
    auto ackAndPost = [&](char ack, TEventKind kind, std::string value) {
        out.Ack = {ack, std::string()};
        out.Events.emplace_back(kind, Values(address, std::move(value)));
    };
    switch (reply[1]) {
    case '#': ackAndPost('A', TEventKind::BarCode, payload); break;
    case 'C': ackAndPost('B', TEventKind::Data, payload); break;
    case 'D': ackAndPost('D', TEventKind::DiscCode, payload); break;
    case 'E': ackAndPost('E', TEventKind::EscrowLever, std::string()); break;
    case 'I': out.Events.emplace_back(TEventKind::Input, Values(address, payload)); break;
    case 'J': ackAndPost('J', TEventKind::Printer, payload); break;
    case 'K': {
        const std::string key = payload.substr(0, 1);
        out.Ack = {'K', key};
        const bool up = payload.size() > 1 && payload[1] == kKeyUp;
        out.Events.emplace_back(up ? TEventKind::ButtonUp : TEventKind::ButtonDown, Values(address, key));
        break;
    }
    case 'L': DecodeInputChanges(address, payload, out); break;
    case 'M': ackAndPost('M', TEventKind::Memory, payload); break;
    case 'p':
        out.StampCapable = true;
        [[fallthrough]];
    case 'P':
        out.ResendGate = true;
        counter.Pending = true;
        out.Events.emplace_back(TEventKind::PowerUp, Values(address));
        break;
    case 'R': DecodeCounter(address, payload, counter, out); break;
    case 'U': ackAndPost('U', TEventKind::CashBox, std::string()); break;
    case 'Z': ackAndPost('Z', TEventKind::Deposit, payload); break;
    default: break;
    }
    return out;
}

} // namespace line
