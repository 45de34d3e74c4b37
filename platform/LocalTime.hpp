#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Broken-down local time. DayOfWeek counts 1 = Sunday to 7 = Saturday.
struct TLocalTime {
    int Year = 1899;
    int Month = 12;
    int Day = 30;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
    int DayOfWeek = 7;
};

// The one localtime_r wrapper of the program.
TLocalTime ToLocal(std::chrono::system_clock::time_point t) noexcept;
TLocalTime LocalNow() noexcept;

// Date-time values are doubles counting days since 1899-12-30, the time of day
// as the fraction, in local time.
using TDateTime = double;

bool IsValidDate(int year, int month, int day) noexcept;
bool IsValidTime(int hour, int minute, int second, int millisecond = 0) noexcept;
// Callers check validity first; out-of-range fields are not normalised.
TDateTime EncodeDate(int year, int month, int day) noexcept;
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0) noexcept;
TDateTime EncodeDateTime(const TLocalTime& t) noexcept;
TLocalTime DecodeDateTime(TDateTime value) noexcept;
TDateTime NowDateTime() noexcept;

inline constexpr long kSecondsPerDay = 24 * 60 * 60;
inline constexpr double kMinutesPerDay = 24 * 60;
// Durations as date-time differences.
inline constexpr TDateTime Minutes(double n) noexcept { return n / kMinutesPerDay; }
inline constexpr TDateTime Seconds(double n) noexcept { return n / kSecondsPerDay; }
// Whole minutes from one date-time to another, truncated towards zero (negative when to is earlier).
int MinutesFromTo(TDateTime from, TDateTime to) noexcept;
// Seconds since midnight, rounded, so equal times compare equal whatever the float noise.
long SecondOfDay(TDateTime value) noexcept;

// Whole seconds between two date-times, as an absolute value (rounded to the
// millisecond first, so 21 s stored as days never reads as 20.999).
long long SecondsBetween(TDateTime a, TDateTime b) noexcept;

// Monotonic milliseconds for time-outs.
std::int64_t TickMs() noexcept;

} // namespace platform
