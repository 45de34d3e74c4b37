#pragma once

#include "db/OfflineCopyRefresh.hpp"
#include "db/OfflineCopyTables.hpp"

#include <string>
#include <vector>

namespace config {
class TMessLog;
}

namespace db {

class TODBC;

namespace offline {

// Makes the copy afresh from the site (inside the caller's consistent read):
// in request.Path + ".new", its tables from the site's columns and primary
// keys, every row, then the indexes, put in place by rename once whole. A copy
// a decision wrote meanwhile is left in place. Adds the rows read to rowsRead;
// false with the reason in why.
bool RebuildCopy(TODBC& site, std::vector<TCopyTable>& tables, const TRefreshRequest& request, config::TMessLog& log,
                 long long& rowsRead, std::string& why);

} // namespace offline
} // namespace db
