#include "access/AccessRules.hpp"

#include "config/Format.hpp"

#include <cmath>

namespace cardaccess {
namespace {

constexpr int kHolidayTableTwo = 2;
constexpr int kHolidayTwoDay = 9;
constexpr int kHolidayDay = 8;

bool DebitDue(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, const TCardTypeRow& type)
{
    return (debitExpiry && type.Debit && t < start) || (type.DebitReset && t > start) ||
           (type.Debit && platform::DecodeDateTime(start).Year < 2000) || (!debitExpiry && type.Debit && t > start);
}

// The last second of t's month.
platform::TDateTime EndOfMonth(platform::TDateTime t)
{
    const auto d = platform::DecodeDateTime(t);
    const int year = d.Month == 12 ? d.Year + 1 : d.Year;
    const int month = d.Month == 12 ? 1 : d.Month + 1;
    return platform::EncodeDate(year, month, 1) - platform::Seconds(1);
}

const TValidityDates& SourceDates(const TCardTypeRow& type, const TCardRow& card)
{
    return type.GlobalExpiry ? type.Dates : card.Dates;
}

// A fixed-position number of a memory record; 0 when missing or not a number.
int Field(const std::string& data, std::size_t from, std::size_t length)
{
    return data.size() < from ? 0 : config::TextToInt(std::string_view(data).substr(from - 1, length));
}

} // namespace

long long MinutesBetween(platform::TDateTime a, platform::TDateTime b)
{
    return platform::SecondsBetween(a, b) / 60;
}

int DayColumn(int holidayTable, platform::TDateTime date)
{
    if (holidayTable != 0)
        return holidayTable == kHolidayTableTwo ? kHolidayTwoDay : kHolidayDay;
    return platform::DecodeDateTime(date).DayOfWeek;
}

int DayCode(int holidayTable, platform::TDateTime date)
{
    if (holidayTable != 0)
        return DayColumn(holidayTable, date);
    // Sunday = 1 ... Saturday = 7 becomes Monday = 1 ... Sunday = 7.
    return (platform::DecodeDateTime(date).DayOfWeek + 5) % 7 + 1;
}

std::vector<TTimeRange> RangesOn(const std::vector<TRangeRow>& ranges, int accessLevel, int deviceId, int dayColumn)
{
    std::vector<TTimeRange> out;
    if (dayColumn < 1 || dayColumn > kDayColumns)
        return out;
    for (const TRangeRow& r : ranges)
        if (r.AccessLevel == accessLevel && r.DeviceId == deviceId && r.Days[static_cast<std::size_t>(dayColumn - 1)])
            out.push_back(r.Range);
    return out;
}

int MessagesRowId(const std::optional<TCardTypeRow>& type, const std::optional<TDeviceRow>& device)
{
    const int id = type ? type->MsgId : 0;
    return id > 0 || !device ? id : device->MsgId;
}

bool InTimeRanges(const std::vector<TTimeRange>& ranges, platform::TDateTime t)
{
    const long now = platform::SecondOfDay(t);
    for (const auto& r : ranges) {
        const long s = platform::SecondOfDay(r.Start), e = platform::SecondOfDay(r.End);
        if (e == s || (e > s && s <= now && now <= e) || (e < s && (now >= s || now <= e)))
            return true;
    }
    return false;
}

TValidity CheckValidity(const TCardTypeRow& type, const TCardRow& card, bool debitExpiry, platform::TDateTime t)
{
    TValidity v;
    v.FromCardType = type.GlobalExpiry;
    const TValidityDates& source = SourceDates(type, card);
    platform::TDateTime start = source.Start, expiry = source.Expiry;
    if (type.FirstUse && !type.Debit && !source.DateSet && !type.DebitReset) {
        v.FirstUse = TFirstUse{.OnCardType = type.GlobalExpiry, .Start = t, .Expiry = t + type.Days};
        start = t;
        expiry = t + type.Days;
    }
    if (type.DebitMode()) {
        v.Valid = DebitValid(debitExpiry, t, source.Start, type, card);
        return v;
    }
    if (type.NoExpiry) {
        v.Valid = true;
        return v;
    }
    if (t < start) {
        start = source.PrevStart;
        expiry = source.PrevExpiry;
    }
    v.Valid = start <= t && t <= expiry;
    return v;
}

bool DebitValid(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, const TCardTypeRow& type,
                const TCardRow& card)
{
    if (type.DebitReset && card.DebitResetDate < t)
        return true;
    if (!DebitDue(debitExpiry, t, start, type))
        return false;
    if (card.DebitLeft > 0)
        return true;
    return type.DebitTimeLimitFlag && t < card.DebitDate + platform::Minutes(type.DebitTimeLimit);
}

std::optional<TDebitUse> DebitUse(const TCardTypeRow& type, const TCardRow& card, bool debitExpiry,
                                  platform::TDateTime t)
{
    if (!DebitDue(debitExpiry, t, SourceDates(type, card).Start, type))
        return std::nullopt;
    if (type.DebitTimeLimitFlag && t <= card.DebitDate + platform::Minutes(type.DebitTimeLimit))
        return std::nullopt;
    if (type.DebitReset && card.DebitResetDate < t)
        return TDebitUse{.DebitLeft = type.Uses - 1, .ResetDate = EndOfMonth(t)};
    return TDebitUse{.DebitLeft = card.DebitLeft - 1, .ResetDate = std::nullopt};
}

bool GroupLimited(const TCardRow& card, TDirection direction)
{
    return card.GroupId > 0 && direction == TDirection::Entry;
}

bool GroupHasRoom(const std::optional<TCardPoolRow>& pool)
{
    return !pool || pool->CurInLot < pool->MaxInLot;
}

int GroupCountChange(TDirection direction, const TCardPoolRow& pool)
{
    if (direction == TDirection::Entry)
        return 1;
    return direction == TDirection::Exit && pool.CurInLot > 0 ? -1 : 0;
}

bool PathwayApplies(const TCardTypeRow& type, const TCardRow& card, const TDeviceRow& device)
{
    return type.PathwayId > 0 && card.InGate != -1 && !device.NoPath;
}

bool PathwayInTime(int limitMinutes, platform::TDateTime lastPassage, platform::TDateTime t)
{
    return limitMinutes >= MinutesBetween(lastPassage, t);
}

bool PassbackAllowed(const TCardTypeRow& type, const TCardRow& card, TDirection direction, int resetMinutes,
                     platform::TDateTime t)
{
    if (type.IgnorePassback)
        return true;
    if (direction == TDirection::None || direction == TDirection::NotSet || static_cast<int>(direction) != card.InLot)
        return true;
    return !(resetMinutes == 0 || MinutesBetween(card.TransDate, t) < resetMinutes);
}

void ApplyChanges(const TCardChanges& changes, TCardRow& card)
{
    if (changes.FirstUse && !changes.FirstUse->OnCardType)
        card.Dates = {.DateSet = true, .Start = changes.FirstUse->Start, .Expiry = changes.FirstUse->Expiry,
                      .PrevStart = card.Dates.PrevStart, .PrevExpiry = card.Dates.PrevExpiry};
    if (changes.InLot)
        card.InLot = *changes.InLot;
    if (changes.DebitLeft) {
        card.DebitLeft = *changes.DebitLeft;
        card.DebitLeftText = std::to_string(*changes.DebitLeft);
    }
    if (changes.DebitResetDate)
        card.DebitResetDate = *changes.DebitResetDate;
    if (changes.DebitDate)
        card.DebitDate = *changes.DebitDate;
    if (changes.TransDate)
        card.TransDate = *changes.TransDate;
    if (changes.InGate)
        card.InGate = *changes.InGate;
}

std::string AccessResultText(int result)
{
    switch (result & ~kSoftBit) {
    case arAccepted: return "Accepted";
    case arNotOnFile: return "Not On File";
    case arNoAccess: return "No Valid Access Found";
    case arInactive: return "Expired, or not valid yet";
    case arPassback: return "Passback Error";
    case arGroupMax: return "Group Max. Exceeded";
    case arNotInPath: return "Not in Path";
    default: return "Unknown error!";
    }
}

TCardFields CardFields(const TCardRow& card, const TCardTypeRow& type)
{
    return {.Misc = card.Misc,
            .Number = card.NumberText,
            .FirstName = card.FirstName,
            .LastName = card.LastName,
            .Street = card.Street,
            .DebitLeft = card.DebitLeftText,
            .DebitMode = type.DebitMode(),
            .Expiry = card.Dates.Expiry};
}

std::string ExpandTemplate(std::string_view templ, const TCardFields& card, const std::string& cardText,
                           platform::TDateTime today)
{
    std::string out;
    for (std::size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] != '%') {
            out += templ[i];
            continue;
        }
        if (++i >= templ.size())
            break;
        switch (templ[i]) {
        case '1':
        case '2':
        case '3':
        case '4': out += card.Misc[static_cast<std::size_t>(templ[i] - '1')]; break;
        case 'c': out += cardText.empty() ? card.Number : cardText; break;
        case 'd':
            if (card.DebitMode)
                out += card.DebitLeft;
            else
                out += std::to_string(static_cast<long long>(std::trunc(card.Expiry - std::floor(today))));
            break;
        case 'f': out += card.FirstName; break;
        case 'l': out += card.LastName; break;
        case 's': out += card.Street; break;
        default: break;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::optional<platform::TDateTime> MemoryRecordTime(const std::string& data, platform::TDateTime now)
{
    const int year = 2000 + Field(data, 1, 2);
    const int month = Field(data, 3, 2);
    const int day = Field(data, 5, 2);
    if (!platform::IsValidDate(year, month, day))
        return std::nullopt;
    const int hhmm = Field(data, 7, 4);
    constexpr int kFutureMinutes = 5;  // a reader clock a little ahead is still today
    platform::TDateTime t = platform::EncodeDate(year, month, day) + platform::Minutes((hhmm % 100) + (hhmm / 100) * 60);
    if (now + platform::Minutes(kFutureMinutes) < t)
        t -= 1;
    return t;
}

} // namespace cardaccess
