#pragma once

#include "db/OfflineCopyTables.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace db {

class TODBC;

namespace offline {

// The ranges of a table are bounded by key values taken from the copy, about
// this many rows apart: small enough that a thousand changes scattered over a
// million cards read a few megabytes, large enough that the sums of all
// ranges stay a fraction of that.
inline constexpr int kRangeRows = 32;
// Range -1 holds the rows whose key is NULL; a table without a key is range 0.
inline constexpr int kNullKeyRange = -1;

struct TRangeSums {
    long long Rows = 0;
    unsigned long long Checksum = 0;  // the rows' CRC32s added up
    bool operator==(const TRangeSums&) const = default;
};
using TRangeMap = std::map<int, TRangeSums>;  // ranges that hold rows

// The copy's bounds for a table, one text of comma-separated numbers.
std::string BoundsSql(const TCopyTable& table);
std::vector<std::string> SplitBounds(std::string_view text);

// The sums of every range on SQLite, the copy's rows or an SQLite site's
// (siteRows: those the copy takes), for a site of the given dialect.
std::string LocalSumsSql(const TCopyTable& table, const std::vector<std::string>& bounds, TDbKind site,
                         bool siteRows);
// The same at a MySQL-family site, a row (r, n, x) per range:
// COUNT(*) and SUM(CRC32(CONCAT_WS(...))), NULLs told apart by masks. A
// sum: an XOR of CRC32s misses rows of one length that change alike.
std::string MySqlSumsSql(const TCopyTable& table, const std::vector<std::string>& bounds);
// The site's columns for reading rows into the copy: as they are, but for a
// MySQL-family bit, which the driver would hand over as a raw byte.
std::string SiteColumns(const TCopyTable& table, TDbKind site);

// The site's rows of a table the copy takes, within predicate (empty for all).
std::string SiteSelectSql(const TCopyTable& table, TDbKind site, const std::string& predicate);
// "INSERT INTO card (...) VALUES " for the copy's rows.
std::string CopyInsertHead(const TCopyTable& table);

// Runs a sums query of either form; false when it failed.
bool ReadSums(TODBC& db, const std::string& sql, TRangeMap& sums);

// The rows of the given ranges (sorted, no repeats), quoted for the dialect;
// consecutive ranges become one interval.
std::string RangesPredicate(const TCopyTable& table, const std::vector<std::string>& bounds,
                            const std::vector<int>& ranges, TDbKind dialect);

} // namespace offline
} // namespace db
