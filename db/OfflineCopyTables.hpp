#pragma once

#include "db/DbKind.hpp"
#include "db/OfflineCopyRows.hpp"
#include "platform/LocalTime.hpp"

#include <string>
#include <vector>

namespace db {

class TODBC;

namespace offline {

// The copy's own tables: its read time, and what each table was made from.
inline constexpr const char* kCopyInfoTable = "velix_copy";
inline constexpr const char* kCopyTablesTable = "velix_copy_table";

// A column name quoted for the dialect (SQLite for the copy).
std::string QuotedColumn(TDbKind dialect, const std::string& name);

// One table of the copy. Its columns are the site's own, those of them the
// service knows, with the site's types and NULLs allowed wherever the site
// allows them: the copy holds the rows as the site holds them.
struct TCopyTable {
    std::string Name;         // in the copy and in the shipped schema
    std::string SiteName;     // at the site, quoted where the dialect needs it
    std::string Where;        // the site rows taken; empty for all of them
    bool Rows = true;         // false: made empty, for the rows written offline
    std::string KeyName;      // the column the ranges follow, when the site has it
    std::vector<TColumnInfo> Columns;
    int Key = -1;             // index of the range column; -1: the table is one range
    std::string PrimaryKey;   // the site's single integer primary key, for a rebuild

    // What the copy was made with; a difference at the next refresh is a schema change.
    std::string Shape() const;
    // The columns for a SELECT or an INSERT, quoted for the dialect.
    std::string ColumnList(TDbKind dialect) const;
    const TColumnInfo* KeyColumn() const { return Key >= 0 ? &Columns[static_cast<std::size_t>(Key)] : nullptr; }
};

// The tables a decision reads, with the site rows they need: the devices of
// deviceFilter and the tickets of the last days before readAt.
std::vector<TCopyTable> CopiedTables(TDbKind dialect, const std::string& deviceFilter, platform::TDateTime readAt);

// Fills Columns and Key from the site (a query that returns no row); false
// when the site has no such table.
bool DescribeSite(TODBC& site, TCopyTable& table);
// Fills PrimaryKey from the site's catalogue.
void ReadPrimaryKey(TODBC& site, TCopyTable& table);

// The copy's CREATE TABLE, and its indexes (made once the rows are in).
std::string CreateTableSql(const TCopyTable& table);
std::vector<std::string> CreateIndexSql(const TCopyTable& table);

} // namespace offline
} // namespace db
