#pragma once

#include "platform/LocalTime.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace config {
class TMessLog;
}
namespace db {
class TODBC;
class TODBCStatement;
}

// Not "access": that name is the POSIX function's.
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

// What a card transaction hands back besides its result, also on refusal.
struct TCardOutputs {
    std::string DeviceName;
    std::string FirstName;
    platform::TDateTime TransTime = 0;
    int SpaceNo = -1;
    int OpenPulse = 0;
};

// Result code of memory records whose date fields do not form a date: the
// record is logged and dropped (no check, no row).
inline constexpr int kRejectedRecord = -1;

// Decides one presented card, runs the updates of an accepted result and
// writes one trans row, in one transaction. Its log lines are buffered (Add):
// the caller's next Log writes them out, after the gate has its answer. Main
// thread; never throws for database failures.
int CardTransaction(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry,
                    const std::string& deviceData, bool memory, double cardNumber, int address, int loopId,
                    TCardOutputs& out, platform::TDateTime now = platform::NowDateTime());

std::string AccessResultText(int result);

// What a message template can show of a card.
struct TCardFields {
    std::array<std::string, 4> Misc;
    std::string Number, FirstName, LastName, Street, DebitLeft;
    bool DebitMode = false;
    platform::TDateTime Expiry = 0;
};
TCardFields CardFields(db::TODBCStatement& card, db::TODBCStatement& cardType);
// Pure: the template expanded for the card; unknown codes and a trailing "%"
// produce nothing, trailing blanks are removed.
std::string ExpandTemplate(std::string_view templ, const TCardFields& card, const std::string& cardText,
                           platform::TDateTime today);
// %1..%4 misc, %c card, %d debit left or days to expiry, %f/%l/%s names and street.
std::string ExpandMessageText(const std::string& templ, db::TODBCStatement& card, db::TODBCStatement& cardType,
                              const std::string& cardText, platform::TDateTime today = platform::NowDateTime());
// The time of a memory record (yymmddhhmm...), moved back a day when it lies
// more than five minutes ahead of now; nullopt when the fields form no date.
std::optional<platform::TDateTime> MemoryRecordTime(const std::string& data, platform::TDateTime now);

// The checks and updates.
bool FindCard(db::TODBCStatement& card, double number);
bool FindCardType(db::TODBCStatement& card, db::TODBCStatement& cardType);
int HolidayTable(db::TODBC& database, platform::TDateTime date);
int DayColumn(db::TODBC& database, platform::TDateTime date);
bool CheckTimeRanges(config::TMessLog& log, db::TODBC& database, int accessLevel, platform::TDateTime t,
                     int deviceId);
bool CheckValidity(config::TMessLog& log, db::TODBC& database, bool debitExpiry, platform::TDateTime t,
                   db::TODBCStatement& cardType, db::TODBCStatement& card);
bool DebitValid(bool debitExpiry, platform::TDateTime t, platform::TDateTime start, db::TODBCStatement& cardType,
                db::TODBCStatement& card);
bool DebitCard(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& cardType, bool debitExpiry,
               platform::TDateTime t);
bool CheckGroupMax(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device);
void UpdateGroupCount(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device);
bool CheckPathway(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device, config::TMessLog& log,
                  bool detailedLog, db::TODBCStatement& cardType, platform::TDateTime t);
void UpdateInGate(db::TODBC& database, db::TODBCStatement& card, db::TODBCStatement& device,
                  db::TODBCStatement& cardType);
bool CheckPassback(db::TODBCStatement& card, db::TODBCStatement& cardType, db::TODBCStatement& device,
                   int passbackResetMinutes, platform::TDateTime t);

// Absolute minutes between two date-times, truncated towards zero.
long long MinutesBetween(platform::TDateTime a, platform::TDateTime b);

} // namespace cardaccess
