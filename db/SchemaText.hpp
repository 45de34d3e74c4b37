#pragma once

#include <string_view>

namespace db {

// The shipped SQLite schema, built into the program: every table and column
// of the site list (db/SiteColumns.hpp), with keys of its own.
std::string_view ShippedSQLiteSchemaText();

} // namespace db
