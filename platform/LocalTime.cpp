#include "platform/LocalTime.hpp"

#include <time.h>

#include <cmath>

namespace platform {
namespace {

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
long DaysFromCivil(int y, int m, int d) noexcept
{
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, int& y, int& m, int& d) noexcept
{
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe) + static_cast<int>(era) * 400 + (m <= 2 ? 1 : 0);
}

constexpr long kEpochOffset = 25569; // 1899-12-30 to 1970-01-01

} // namespace

TLocalTime ToLocal(std::chrono::system_clock::time_point t) noexcept
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000);
    int rest = static_cast<int>(ms % 1000);
    if (rest < 0) {
        rest += 1000;
        --secs;
    }
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    return TLocalTime{.Year = tmv.tm_year + 1900, .Month = tmv.tm_mon + 1, .Day = tmv.tm_mday,
                      .Hour = tmv.tm_hour, .Minute = tmv.tm_min, .Second = tmv.tm_sec,
                      .Millisecond = rest, .DayOfWeek = tmv.tm_wday + 1};
}

TLocalTime LocalNow() noexcept
{
    return ToLocal(std::chrono::system_clock::now());
}

bool IsValidDate(int year, int month, int day) noexcept
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
    return day <= last;
}

bool IsValidTime(int hour, int minute, int second, int millisecond) noexcept
{
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 60 &&
           millisecond >= 0 && millisecond < 1000;
}

TDateTime EncodeDate(int year, int month, int day) noexcept
{
    return static_cast<double>(DaysFromCivil(year, month, day) + kEpochOffset);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) noexcept
{
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

TDateTime EncodeDateTime(const TLocalTime& t) noexcept
{
    return EncodeDate(t.Year, t.Month, t.Day) + EncodeTime(t.Hour, t.Minute, t.Second, t.Millisecond);
}

TLocalTime DecodeDateTime(TDateTime value) noexcept
{
    // Round to the millisecond first so 10:00:00 never decodes as 09:59:59.999.
    const double totalMs = std::round(value * 86400000.0);
    long days = static_cast<long>(std::floor(totalMs / 86400000.0));
    long ms = static_cast<long>(totalMs - static_cast<double>(days) * 86400000.0);
    TLocalTime t;
    CivilFromDays(days - kEpochOffset, t.Year, t.Month, t.Day);
    t.Hour = static_cast<int>(ms / 3600000);
    ms %= 3600000;
    t.Minute = static_cast<int>(ms / 60000);
    ms %= 60000;
    t.Second = static_cast<int>(ms / 1000);
    t.Millisecond = static_cast<int>(ms % 1000);
    // 1899-12-30 was a Saturday (7).
    t.DayOfWeek = static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
    return t;
}

int MinutesFromTo(TDateTime from, TDateTime to) noexcept
{
    return static_cast<int>(std::trunc((to - from) * kMinutesPerDay));
}

long SecondOfDay(TDateTime value) noexcept
{
    return std::lround((value - std::floor(value)) * kSecondsPerDay) % kSecondsPerDay;
}

TDateTime NowDateTime() noexcept
{
    return EncodeDateTime(LocalNow());
}

long long SecondsBetween(TDateTime a, TDateTime b) noexcept
{
    const double ms = std::round(std::fabs(a - b) * 86400000.0);
    return static_cast<long long>(ms / 1000.0);
}

std::int64_t TickMs() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace platform
