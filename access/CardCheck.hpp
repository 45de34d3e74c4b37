#pragma once

#include "access/AccessRules.hpp"
#include "access/Rows.hpp"

#include <optional>
#include <string>

namespace config {
class TMessLog;
}
namespace db {
class TODBC;
}

// Not "access": that name is the POSIX function's.
namespace cardaccess {

// What a card transaction hands back besides its result, also on refusal:
// the rows it read, the card as its writes left it.
struct TCardOutputs {
    std::string DeviceName;
    std::string FirstName;
    platform::TDateTime TransTime = 0;
    int SpaceNo = -1;
    int OpenPulse = 0;
    std::optional<TDeviceRow> Device;
    std::optional<TCardRow> Card;
    std::optional<TCardTypeRow> CardType;
    std::optional<TMessagesRow> Messages;  // the row the device text comes from
};

// Result code of memory records whose date fields do not form a date: the
// record is logged and dropped (no check, no row).
inline constexpr int kRejectedRecord = -1;
// Result code of a decision that lost to other transactions at every run: it
// stands nowhere, so it is neither answered nor booked (logged).
inline constexpr int kUndecided = -2;

// Decides one presented card, runs the updates of an accepted result and
// writes one trans row, in one transaction. Its log lines are buffered (Add):
// the caller's next Log writes them out, after the gate has its answer. Main
// thread; never throws for database failures.
int CardTransaction(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry,
                    const std::string& deviceData, bool memory, double cardNumber, int address, int loopId,
                    TCardOutputs& out, platform::TDateTime now = platform::NowDateTime());

} // namespace cardaccess
