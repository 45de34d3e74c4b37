// Issue times carried by ticket barcodes.
#include "access/BarcodeDate.hpp"

#include "config/Format.hpp"

#include <optional>

namespace cardaccess {
namespace {

constexpr std::size_t kShortest = 10;
constexpr std::size_t kLongest = 12;
constexpr std::size_t kCheckDigits = 2;              // the last two characters carry no time
constexpr std::int64_t kTwoYearOffset = 20000000;    // keeps the two-year form at eight digits

bool IsLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Two characters from a 0-based position; nullopt when missing or not a number.
std::optional<int> TwoDigits(std::string_view text, std::size_t at)
{
    if (at >= text.size())
        return std::nullopt;
    const std::string_view field = text.substr(at, 2);
    for (const char c : field)
        if (c < '0' || c > '9')
            return std::nullopt;
    return config::TextToInt(field);
}

// "TTTTMMDDHHNN": ticket number, then month, day, hour and minute of this
// year, or of last year when the month is still to come.
platform::TDateTime OldFormatDate(std::string_view barcode, platform::TDateTime now)
{
    const auto month = TwoDigits(barcode, 4), day = TwoDigits(barcode, 6), hour = TwoDigits(barcode, 8),
               minute = TwoDigits(barcode, 10);
    if (!month || !day || !hour || !minute)
        return 0;
    const auto today = platform::DecodeDateTime(now);
    const int year = *month > today.Month ? today.Year - 1 : today.Year;
    if (!platform::IsValidDate(year, *month, *day) || !platform::IsValidTime(*hour, *minute, 0))
        return 0;
    return platform::EncodeDate(year, *month, *day) + platform::EncodeTime(*hour, *minute, 0);
}

} // namespace

platform::TDateTime TwoYearDate(std::string_view digits, platform::TDateTime now)
{
    const std::int64_t n = config::TextToInt64(digits);
    const double days = platform::Seconds(static_cast<double>(n - kTwoYearOffset));
    const int year = platform::DecodeDateTime(now).Year;
    const bool even = year % 2 == 0;
    int base = even ? year : year - 1;
    if (even && days > (IsLeap(base) ? 366 : 365))
        base -= 2;
    return platform::EncodeDate(base, 1, 1) + days;
}

platform::TDateTime BarcodeDate(std::string_view barcode, bool oldFormat, platform::TDateTime now)
{
    if (barcode.size() < kShortest || barcode.size() > kLongest)
        return 0;
    if (barcode.front() == '1' && barcode.size() < kLongest)
        return -1;
    if (oldFormat)
        return OldFormatDate(barcode, now);
    if (barcode.front() == '9')
        return 0;
    const std::string_view digits = barcode.substr(0, barcode.size() - kCheckDigits);
    if (barcode.size() == kLongest)
        return platform::EncodeDate(1999, 12, 31) + platform::Seconds(static_cast<double>(config::TextToInt64(digits)));
    return TwoYearDate(digits, now);
}

} // namespace cardaccess
