#pragma once

#include <span>
#include <string_view>

namespace db {

// What a column holds, as far as creating it takes: MariaDB int, bigint,
// tinyint(1), double, varchar, date, time, datetime, and the same names on SQLite.
enum class TColumnType { Integer, BigInteger, Flag, Float, Text, Date, Time, DateTime };

// Required: a statement names the column, or the service judges by it, so the
// service cannot work right without it. Optional: read through SELECT * only,
// with a default when the site has no such column. AddedAtStartUp: the loop's
// schema upgrade adds it where it is missing.
enum class TColumnUse { Required, Optional, AddedAtStartUp };

struct TSiteColumn {
    std::string_view Name;
    TColumnType Type;
    TColumnUse Use = TColumnUse::Required;
    std::string_view WhenAbsent = {};  // what an optional column's absence means, for CHECK
};

struct TSiteTable {
    std::string_view Name;  // lower case
    std::span<const TSiteColumn> Columns;
    bool MadeAtStartUp = false;  // the service's own table: start-up creates it
};

// The site's tables and the columns the service's statements use, in one
// list: what CHECK judges a site by. Columns beyond these are the site's own.
std::span<const TSiteTable> SiteTables() noexcept;

// The table of that name (any letter case); nullptr when it is not listed.
const TSiteTable* FindSiteTable(std::string_view name) noexcept;

} // namespace db
