// Counter and input replies through the logic that needs no database.
#include "counting/Counter.hpp"
#include "counting/Input.hpp"

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzz::Text(data, size);
    counting::TCounterDigits last{};
    for (std::size_t at = 0; at + counting::kCounterDigits <= size; at += counting::kCounterDigits) {
        const auto digits = counting::CounterDigits(text.substr(at));
        fuzz::Require(digits.has_value());
        for (std::size_t i = 0; i < counting::kCounterDigits; ++i) {
            const int delta = counting::CounterDelta(last[i], (*digits)[i]);
            fuzz::Require(delta >= 0 && delta < 16);
        }
        last = *digits;
    }
    if (const auto mask = counting::InputMask(text))
        for (int input = -1; input <= 10; ++input)
            fuzz::Require(!counting::InputActive(*mask, input) || (input >= 1 && input <= 8));
    return 0;
}
