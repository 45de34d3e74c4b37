#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fmt/printf.h>

namespace config {

// Raised when a format does not fit its arguments (wrong type, too few).
class TFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "%f" written without a precision means two decimals in this system's texts
// (12345.00); every other conversion keeps its C meaning.
std::string NormaliseFormat(std::string_view format);

// printf-style formatting that fails with TFormatError instead of reading
// garbage when an argument does not fit its conversion.
template <typename... TArgs>
std::string Format(std::string_view format, const TArgs&... args)
{
    try {
        return fmt::sprintf(NormaliseFormat(format), args...);
    } catch (const fmt::format_error& e) {
        throw TFormatError(std::string("Format '") + std::string(format) +
                           "' invalid or incompatible with argument: " + e.what());
    }
}

} // namespace config

namespace config {

// The general float text: up to 15 significant digits, no trailing zeros,
// fixed notation from 0.00001 up to 15 integer digits, else "1.5E20" style.
// A card number of up to 15 digits comes out whole: 12345.
std::string FloatToStr(double value);

// Trims leading and trailing blanks and control characters.
std::string TrimText(std::string_view text);
std::string_view TrimView(std::string_view text) noexcept;
// Text read as a whole decimal number (blanks around it allowed, a leading
// sign too); def when it is empty, not a number or out of the type's range.
std::int32_t TextToInt(std::string_view text, std::int32_t def = 0) noexcept;
std::int64_t TextToInt64(std::string_view text, std::int64_t def = 0) noexcept;
double TextToFloat(std::string_view text, double def = 0) noexcept;

// ASCII letter case, whatever the process locale.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

} // namespace config
