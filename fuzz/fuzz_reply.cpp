// Bytes from a device: the reply assembler, then the decoding of every reply
// it completes (type letters, counter baselines, L and K payloads).
#include "line/Frame.hpp"
#include "line/ReplyText.hpp"

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    line::TCounterBaseline counter;
    line::TReplyAssembler assembler;
    for (std::size_t i = 0; i < size; ++i) {
        if (assembler.Feed(data[i]) != line::TReplyAssembler::TStep::More) {
            const auto effects = line::DecodeReply(1, assembler.Text(), counter);
            for (const auto& [kind, values] : effects.Events)
                fuzz::Require(values.Reader == 1);
            assembler = line::TReplyAssembler();
        }
    }
    // The text itself as a reply, as if it had arrived whole.
    line::DecodeReply(16, fuzz::Text(data, size), counter);
    return 0;
}
