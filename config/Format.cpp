#include "config/Format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace config {

std::string NormaliseFormat(std::string_view format)
{
    std::string out;
    out.reserve(format.size() + 4);
    for (std::size_t i = 0; i < format.size(); ++i) {
        out += format[i];
        if (format[i] != '%')
            continue;
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // Copy flags, width and precision; remember whether a precision was given.
        std::size_t j = i + 1;
        bool precision = false;
        while (j < format.size() && std::strchr("-+ #0123456789.*", format[j]) != nullptr) {
            if (format[j] == '.')
                precision = true;
            ++j;
        }
        // Length modifiers are C noise here; fmt knows the argument's real type.
        std::size_t conv = j;
        while (conv < format.size() && std::strchr("hlLqjzt", format[conv]) != nullptr)
            ++conv;
        out.append(format.substr(i + 1, j - i - 1));
        if (conv < format.size() && format[conv] == 'f' && !precision)
            out += ".2";
        out.append(format.substr(j, conv - j));
        i = conv - 1;
    }
    return out;
}


std::string FloatToStr(double value)
{
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value < 0 ? "-INF" : "INF";
    if (value == 0.0)
        return "0";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    // buf: [-]d.dddddddddddddde[+-]xx
    std::string text(buf);
    const bool negative = text.front() == '-';
    if (negative)
        text.erase(0, 1);
    const auto e = text.find('e');
    int exponent = std::atoi(text.c_str() + e + 1);
    std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::string out;
    if (exponent >= 15 || exponent < -5) {
        out = digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        out += "E";
        if (exponent < 0)
            out += "-";
        out += std::to_string(std::abs(exponent));
    } else if (exponent < 0) {
        out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const auto intDigits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= intDigits) {
            out = digits + std::string(intDigits - digits.size(), '0');
        } else {
            out = digits.substr(0, intDigits) + "." + digits.substr(intDigits);
        }
    }
    return negative ? "-" + out : out;
}

std::string_view TrimView(std::string_view text) noexcept
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

std::string TrimText(std::string_view text)
{
    return std::string(TrimView(text));
}

namespace {

template <typename T>
T TextToInteger(std::string_view text, T def) noexcept
{
    const std::string s = TrimText(text);
    const char* begin = s.data();
    if (!s.empty() && s.front() == '+')
        ++begin;
    T v = 0;
    const auto r = std::from_chars(begin, s.data() + s.size(), v);
    return (begin == s.data() + s.size() || r.ec != std::errc() || r.ptr != s.data() + s.size()) ? def : v;
}

} // namespace

std::int32_t TextToInt(std::string_view text, std::int32_t def) noexcept
{
    return TextToInteger<std::int32_t>(text, def);
}

std::int64_t TextToInt64(std::string_view text, std::int64_t def) noexcept
{
    return TextToInteger<std::int64_t>(text, def);
}

double TextToFloat(std::string_view text, double def) noexcept
{
    const std::string s = TrimText(text);
    if (s.empty())
        return def;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(v) ? v : def;
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string LowerCase(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace config
