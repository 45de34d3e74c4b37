// Message templates from the messages table, expanded for a card whose text
// fields come from the input too.
#include "access/CardCheck.hpp"

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzz::Text(data, size);
    const auto half = text.size() / 2;
    cardaccess::TCardFields card;
    card.FirstName = std::string(text.substr(half));
    card.Misc[2] = std::string(text.substr(0, half / 2));
    card.DebitMode = size % 2 == 0;
    card.DebitLeft = "3";
    card.Expiry = size > 0 ? data[0] * 1000.0 : 0;
    const auto out = cardaccess::ExpandTemplate(text.substr(0, half), card, std::string(text.substr(half / 2, 3)),
                                                platform::EncodeDate(2026, 12, 9));
    fuzz::Require(out.empty() || out.back() != ' ');
    return 0;
}
