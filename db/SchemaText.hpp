#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace db {

// The shipped MariaDB schema, built into the program: every table and column
// the service reads or writes.
std::string_view ShippedSchemaText();
// The same tables for SQLite.
std::string_view ShippedSQLiteSchemaText();

// Its tables and their columns (lower case), in file order.
std::vector<std::pair<std::string, std::vector<std::string>>> ShippedTables();

} // namespace db
