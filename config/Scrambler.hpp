#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace config {

// The 90 characters a stored password is written in: the 52 letters, the ten
// digits, the space and 27 punctuation marks. The double quote, single quote,
// backslash, back quote and caret are left out so that a stored value needs no
// escaping in a registry file, an ini file or a shell. Changing it makes every
// stored password unreadable.
inline constexpr std::string_view kScramblerAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 !#$%&()*+,-./:;<=>?@[]_{|}~";

// Shifts each character back by its 1-based position, cyclically in the alphabet;
// a character outside the alphabet counts as position 0.
std::string Unscramble(std::string_view text);

// The stored form of a plain text; std::nullopt when the text holds a character
// outside the alphabet (it could not be read back).
std::optional<std::string> Scramble(std::string_view plain);

} // namespace config
