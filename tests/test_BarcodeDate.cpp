#include "access/BarcodeDate.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using testing_support::At;

TEST(BarcodeDate, DecodesEveryFormAtItsEdges)
{
    struct TCase {
        const char* what;
        const char* barcode;
        bool oldFormat;
        platform::TDateTime now;
        platform::TDateTime expected;
    };
    const TCase cases[] = {
        // Two-year form: 20,000,000 + seconds since 1 January of the cycle's even year.
        {"even year, ticket of the old year's last hour", "8315780001", false, At(2026, 1, 1, 0, 5),
         At(2025, 12, 31, 23, 50)},
        {"even year, ticket of the new year", "2000060001", false, At(2026, 1, 1, 0, 15), At(2026, 1, 1, 0, 10)},
        {"odd year, ticket of the even year before", "5153540002", false, At(2027, 1, 1, 0, 5),
         At(2026, 12, 31, 23, 50)},
        {"odd year after a leap year: 31 December is day 366", "5161880003", false, At(2025, 1, 1, 0, 5),
         At(2024, 12, 31, 23, 0)},
        {"eleven characters, lane after the time", "02000060001", false, At(2026, 1, 1, 0, 15),
         At(2026, 1, 1, 0, 10)},
        // Twelve characters: seconds since 1999-12-31 00:00 on the wall clock,
        // so a daylight-saving change moves nothing.
        {"inside a spring-forward gap", "082815300077", false, At(2026, 6, 1), At(2026, 3, 29, 2, 30)},
        {"inside a fall-back hour", "084629700077", false, At(2026, 11, 1), At(2026, 10, 25, 2, 30)},
        {"twelve characters may start with 1", "100000000000", false, At(2026, 6, 1),
         At(1999, 12, 31) + 1000000000.0 / 86400},
        // Refused forms.
        {"nine characters", "200006000", false, At(2026, 6, 1), 0},
        {"thirteen characters", "2000060001000", false, At(2026, 6, 1), 0},
        {"a 1 before twelve characters", "1000060001", false, At(2026, 6, 1), -1},
        {"a 1 before twelve characters, old format too", "1234030912", true, At(2026, 6, 1), -1},
        {"a 9 in the new formats", "923403091200", false, At(2026, 3, 10), 0},
        // Old format TTTTMMDDHHNN: this year, or last year for a month still to come.
        {"old format, this year", "923403091200", true, At(2026, 3, 10), At(2026, 3, 9, 12, 0)},
        {"old format, a later month is last year", "223412251030", true, At(2026, 3, 10), At(2025, 12, 25, 10, 30)},
        {"old format, no such month", "223413011000", true, At(2026, 3, 10), 0},
        {"old format, 29 February of a common year", "223402291000", true, At(2026, 3, 10), 0},
        {"old format, minute missing", "2234030912", true, At(2026, 3, 10), 0},
        {"old format, letters for the hour", "22340309ab00", true, At(2026, 3, 10), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_NEAR(cardaccess::BarcodeDate(c.barcode, c.oldFormat, c.now), c.expected, 0.5 / 86400);
    }
}

TEST(BarcodeDate, DoesNotDependOnTheTimeZone)
{
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York"}) {
        SCOPED_TRACE(zone);
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_NEAR(cardaccess::BarcodeDate("082815300077", false, At(2026, 6, 1)), At(2026, 3, 29, 2, 30),
                    0.5 / 86400);
    }
    if (before)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}
