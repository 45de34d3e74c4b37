#include "config/Scrambler.hpp"

namespace config {
namespace {

constexpr long kLength = static_cast<long>(kScramblerAlphabet.size());
static_assert(kLength == 90);

long PositionOf(char c)
{
    const auto p = kScramblerAlphabet.find(c);
    return p == std::string_view::npos ? 0 : static_cast<long>(p) + 1;
}

} // namespace

std::string Unscramble(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        long q = PositionOf(text[i]) - static_cast<long>(i + 1);
        while (q <= 0)
            q += kLength;
        out += kScramblerAlphabet[static_cast<std::size_t>(q - 1)];
    }
    return out;
}

std::optional<std::string> Scramble(std::string_view plain)
{
    std::string out;
    out.reserve(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const long p = PositionOf(plain[i]);
        if (p == 0)
            return std::nullopt;
        const long q = (p - 1 + static_cast<long>((i + 1) % kLength)) % kLength;
        out += kScramblerAlphabet[static_cast<std::size_t>(q)];
    }
    return out;
}

} // namespace config
