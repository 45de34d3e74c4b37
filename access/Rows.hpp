#pragma once

#include "platform/LocalTime.hpp"

#include <array>
#include <string>

// The rows a decision reads, as plain values: read once, then judged by pure
// rules. Fields hold what the statement reads (unknown columns as empty, 0,
// false, today at midnight).
namespace cardaccess {

// device.dir_ection. Other values are kept as they are: they are written back
// into card.in_lot and compared with it.
enum class TDirection : int { NotSet = 0, Entry = 1, Exit = 2, None = 3 };

struct TDeviceRow {
    int Id = 0;
    std::string Name;
    TDirection Direction = TDirection::NotSet;
    double OpenPulse = 0;
    bool DebitFlag = false;
    bool NoPath = false;
    bool SpecialOut = false;
    int MsgId = 0;
    std::string RemoteUser, RemoteIp;  // who asked for a remote open, from where
    int CountSoft = 0;
    int DoorInput = 0;
    int AjarTimer = 0;  // seconds
    int AjarOutput = 0;
    int FireInput = 0;
};

// The validity dates a card or, with global expiry, its card type carries.
struct TValidityDates {
    bool DateSet = false;
    platform::TDateTime Start = 0;
    platform::TDateTime Expiry = 0;
    platform::TDateTime PrevStart = 0;
    platform::TDateTime PrevExpiry = 0;
};

struct TCardRow {
    double Number = 0;
    std::string NumberText;
    int TypeId = 0;
    std::string TypeIdText;
    int InLot = 0;
    int InGate = 0;
    int GroupId = 0;
    int SpaceNo = 0;
    std::string FirstName, LastName, Street;
    std::array<std::string, 4> Misc;
    int DebitLeft = 0;
    std::string DebitLeftText;
    platform::TDateTime DebitDate = 0;
    platform::TDateTime DebitResetDate = 0;
    platform::TDateTime TransDate = 0;  // trans_dt: the last accepted passage
    TValidityDates Dates;
};

struct TCardTypeRow {
    int Id = 0;
    int AccessLevelId = 0;
    std::string AccessLevelText;
    int Days = 0;
    bool GlobalExpiry = false;
    bool FirstUse = false;
    bool Debit = false;       // debit_flg
    bool DebitReset = false;  // debit_reset_flag
    bool NoExpiry = false;
    bool DebitTimeLimitFlag = false;
    int DebitTimeLimit = 0;  // minutes
    int Uses = 0;
    int PathwayId = 0;
    bool IgnorePassback = false;
    int MsgId = 0;
    TValidityDates Dates;

    bool DebitMode() const noexcept { return Debit || DebitReset; }
};

struct TSettingsRow {
    int PassbackResetMinutes = 0;  // stup_pbrst
    bool SoftGroup = false;
    bool SoftPath = false;
    bool SoftPassback = false;
};

struct TCardPoolRow {
    int CurInLot = 0;
    int MaxInLot = 0;
};

// One a_l_range row that applies to the day and the device.
struct TTimeRange {
    platform::TDateTime Start = 0;
    platform::TDateTime End = 0;
};

// The day columns of a_l_range: day_1 .. day_9, the week and two holiday tables.
inline constexpr int kDayColumns = 9;

// An a_l_range row assigned to a device, with all its day columns.
struct TRangeRow {
    int AccessLevel = 0;
    int DeviceId = 0;
    std::array<bool, kDayColumns> Days{};
    TTimeRange Range;
};

// The texts of one messages row, by result code (soft bit cleared).
struct TMessagesRow {
    std::array<std::string, 7> Texts;
};

} // namespace cardaccess
