#include "db/Dialect.hpp"

namespace db {
namespace {

constexpr TDialect kDialects[] = {
    {.Kind = dkOther,
     .Name = "other",
     .Begin = nullptr,
     .ConsistentSnapshot = "BEGIN",
     .BackslashEscapes = false,
     .PlainBackslashes = nullptr,
     .LoopReserved = false,
     .JoinedDecision = false,
     .LockingDecision = false},
    {.Kind = dkMySql,
     .Name = "MySQL family",
     .Begin = "START TRANSACTION",
     .ConsistentSnapshot = "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY",
     .BackslashEscapes = true,
     .PlainBackslashes = "SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')",
     .LoopReserved = true,
     .JoinedDecision = true,
     .LockingDecision = true},
    // Immediate: the write lock is taken at once, so the reads that come first
    // cannot pin a snapshot that another connection's write makes stale.
    {.Kind = dkSQLite,
     .Name = "SQLite",
     .Begin = "BEGIN IMMEDIATE",
     .ConsistentSnapshot = "BEGIN",
     .BackslashEscapes = false,
     .PlainBackslashes = nullptr,
     .LoopReserved = false,
     .JoinedDecision = false,
     .LockingDecision = false},
};

} // namespace

const TDialect& DialectOf(TDbKind kind) noexcept
{
    for (const TDialect& d : kDialects)
        if (d.Kind == kind)
            return d;
    return kDialects[0];
}

std::string TableName(const TDialect& dialect, std::string_view table)
{
    if (dialect.LoopReserved && table == "loop")
        return "`loop`";
    return std::string(table);
}

} // namespace db
