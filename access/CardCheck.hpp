#pragma once

#include "access/CardDecision.hpp"

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

// Result code of memory records whose date fields do not form a date: the
// record is logged and dropped (no check, no row).
inline constexpr int kRejectedRecord = -1;
// Result code of a decision that lost to other transactions at every run: it
// stands nowhere, so it is neither answered nor booked (logged).
inline constexpr int kUndecided = -2;

// Decides one presented card: loads its rows (LoadCardInputs), decides
// (DecideCard) and writes the changes and one trans row to the database, in
// one transaction, run again when it lost to another one. The decision's log
// lines are buffered (Add): the caller's next Log writes them out, after the
// gate has its answer. On the thread that owns the connection; never throws
// for database failures.
int CardTransaction(bool detailedLog, config::TMessLog& log, db::TODBC& database, bool debitExpiry,
                    const std::string& deviceData, bool memory, double cardNumber, int address, int loopId,
                    TCardOutputs& out, platform::TDateTime now = platform::NowDateTime());

} // namespace cardaccess
