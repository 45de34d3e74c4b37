#pragma once

#include "platform/LocalTime.hpp"

#include <string_view>

namespace cardaccess {

// The issue time a ticket barcode carries, as a local date-time; 0 or less
// when it carries none (wrong length, a "1" before 12 characters gives -1, a
// "9" in the new formats, fields that form no date). now gives the current
// year the short forms are read against.
platform::TDateTime BarcodeDate(std::string_view barcode, bool oldFormat,
                                platform::TDateTime now = platform::NowDateTime());

// The two-year form: digits count 20,000,000 plus the seconds since 1 January
// of the even year that starts the current two-year cycle.
platform::TDateTime TwoYearDate(std::string_view digits, platform::TDateTime now = platform::NowDateTime());

} // namespace cardaccess
