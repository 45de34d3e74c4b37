#pragma once

#include "platform/LocalTime.hpp"

#include <functional>
#include <string>

namespace config {
class TMessLog;
}

namespace db {

class TODBC;

namespace offline {

struct TRefreshRequest {
    std::string Path;          // the copy
    std::string DeviceFilter;  // the device rows of this computer's loops
    platform::TDateTime ReadAt = 0;
    bool Rebuild = false;         // made afresh whatever the ranges say
    bool CheckIntegrity = false;  // the copy's file checked first (once a run)
    // True while decisions made from the copy wait for the site database: the
    // copy then stays as it is, or it would forget them.
    std::function<bool()> DecisionsPending;
};

struct TRefreshOutcome {
    enum class TKind { ByRanges, Rebuilt, Failed };
    TKind Kind = TKind::Failed;
    std::string Why;  // what made it a rebuild, or the failure
    long long Ranges = 0;
    long long RangesRead = 0;
    long long RowsRead = 0;  // rows read from the site
    long long CopyRows = 0;  // rows the copy holds
};

// One refresh of the copy at path from the site, in one consistent read of
// the site (on a Galera node after the node has caught up with the cluster):
// the ranges whose counts or checksums differ are read again and replaced in
// one SQLite transaction; a first copy, one whose file or columns no longer
// fit, or one of which more than half changed is made afresh in a new file
// put in place by rename. Never throws.
TRefreshOutcome RefreshCopy(TODBC& site, const TRefreshRequest& request, config::TMessLog& log) noexcept;

// 1234567 as "1,234,567".
std::string GroupedNumber(long long n);

} // namespace offline
} // namespace db
