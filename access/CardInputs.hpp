#pragma once

#include "access/Rows.hpp"

#include <map>
#include <optional>
#include <vector>

namespace cardaccess {

// The card presented, where and when.
struct TCardKey {
    int LoopId = 0;
    int Address = 0;
    double Number = 0;
    platform::TDateTime T = 0;
};

// Everything one card decision judges by, loaded before it is decided: a
// missing row (or a failed statement) is an empty part.
struct TCardInputs {
    std::optional<TDeviceRow> Device;
    std::optional<TSettingsRow> Settings;
    std::optional<TCardRow> Card;
    std::optional<TCardTypeRow> CardType;  // the card's type
    std::optional<TCardPoolRow> Pool;      // the card's group
    int HolidayTable = 0;                  // of the decision's date
    std::vector<TRangeRow> Ranges;         // of the type's access level, at the device
    std::optional<int> PathwayLimit;       // the step from the card's in_gate to the device
    bool PathwayGoesOn = false;            // the type's pathway leads on from the device
    std::map<int, TMessagesRow> Messages;  // the rows the device text may come from, by id
};

} // namespace cardaccess
