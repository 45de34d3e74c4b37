#pragma once

#include "access/Rows.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The rules of a card decision as functions of the rows read and the time:
// no database, no log. What a rule would write comes back as data.
namespace cardaccess {

// Result codes; the soft bit lets a refusal through.
enum TAccessResult : int {
    arAccepted = 0,
    arNotOnFile = 1,
    arNoAccess = 2,
    arInactive = 3,
    arPassback = 4,
    arGroupMax = 5,
    arNotInPath = 6,
};
inline constexpr int kSoftBit = 8;
inline bool IsAccepted(int result) { return result == 0 || (result & kSoftBit) != 0; }

// The messages column shown for each result code (soft bit cleared).
inline constexpr std::array<const char*, 7> kMessageColumns = {"accepted", "not_on_file", "access",     "inac_tive",
                                                               "passback", "max_group",   "not_on_path"};

// Absolute minutes between two date-times, truncated towards zero.
long long MinutesBetween(platform::TDateTime a, platform::TDateTime b);

// The day of the a_l_range columns: Sunday = 1 ... Saturday = 7 on a plain
// day, and the gateoc day code: Monday = 1 ... Sunday = 7. On a holiday both
// are 9 for holiday table 2 and 8 for any other table (0 is no holiday).
int DayColumn(int holidayTable, platform::TDateTime date);
int DayCode(int holidayTable, platform::TDateTime date);

// The ranges of an access level at a device that are open on a day column.
std::vector<TTimeRange> RangesOn(const std::vector<TRangeRow>& ranges, int accessLevel, int deviceId, int dayColumn);

// The messages row a decided card's text comes from: its card type's when it
// names one, else the device's; the first row stands in for a missing one.
inline constexpr int kFirstMessagesRow = 1;
int MessagesRowId(const std::optional<TCardTypeRow>& type, const std::optional<TDeviceRow>& device);

// Whether t's time of day lies in one of the ranges (start and end included;
// a range across midnight wraps, equal times mean the whole day).
bool InTimeRanges(const std::vector<TTimeRange>& ranges, platform::TDateTime t);

// The dates a card's first use sets: on the card, or with global expiry on its type.
struct TFirstUse {
    bool OnCardType = false;
    platform::TDateTime Start = 0;
    platform::TDateTime Expiry = 0;
};
struct TValidity {
    bool Valid = false;
    bool FromCardType = false;  // the dates judged are the card type's (global expiry)
    std::optional<TFirstUse> FirstUse;
};
TValidity CheckValidity(const TCardTypeRow& type, const TCardRow& card, bool debitExpiry, platform::TDateTime t);
bool DebitValid(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, const TCardTypeRow& type,
                const TCardRow& card);

// A use taken from a debit card: the uses left and, on a monthly reset, the new reset date.
struct TDebitUse {
    int DebitLeft = 0;
    std::optional<platform::TDateTime> ResetDate;
};
std::optional<TDebitUse> DebitUse(const TCardTypeRow& type, const TCardRow& card, bool debitExpiry,
                                  platform::TDateTime t);

// Groups are limited at entries only.
bool GroupLimited(const TCardRow& card, TDirection direction);
bool GroupHasRoom(const std::optional<TCardPoolRow>& pool);
// What an accepted card adds to its group's count: +1 at an entry, -1 at an exit of a group with cars in.
int GroupCountChange(TDirection direction, const TCardPoolRow& pool);

bool PathwayApplies(const TCardTypeRow& type, const TCardRow& card, const TDeviceRow& device);
bool PathwayInTime(int limitMinutes, platform::TDateTime lastPassage, platform::TDateTime t);
bool PassbackAllowed(const TCardTypeRow& type, const TCardRow& card, TDirection direction, int resetMinutes,
                     platform::TDateTime t);

// The card columns an event writes; unset ones stay as they are.
struct TCardChanges {
    std::optional<TFirstUse> FirstUse;  // date_set, start_dt, exp_iry (when on the card)
    std::optional<int> InLot;
    std::optional<int> DebitLeft;
    std::optional<platform::TDateTime> DebitResetDate;
    std::optional<platform::TDateTime> DebitDate;
    std::optional<platform::TDateTime> TransDate;
    std::optional<int> InGate;

    bool Empty() const noexcept
    {
        return !FirstUse && !InLot && !DebitLeft && !DebitResetDate && !DebitDate && !TransDate && !InGate;
    }
};
// The card row as the changes leave it.
void ApplyChanges(const TCardChanges& changes, TCardRow& card);

std::string AccessResultText(int result);

// What a message template can show of a card.
struct TCardFields {
    std::array<std::string, 4> Misc;
    std::string Number, FirstName, LastName, Street, DebitLeft;
    bool DebitMode = false;
    platform::TDateTime Expiry = 0;
};
TCardFields CardFields(const TCardRow& card, const TCardTypeRow& type);
// %1..%4 misc, %c card (cardText when given), %d debit left or days to expiry,
// %f/%l/%s names and street; unknown codes and a trailing "%" produce nothing,
// trailing blanks are removed.
std::string ExpandTemplate(std::string_view templ, const TCardFields& card, const std::string& cardText,
                           platform::TDateTime today);
// The time of a memory record (yymmddhhmm...), moved back a day when it lies
// more than five minutes ahead of now; nullopt when the fields form no date.
std::optional<platform::TDateTime> MemoryRecordTime(const std::string& data, platform::TDateTime now);

} // namespace cardaccess
