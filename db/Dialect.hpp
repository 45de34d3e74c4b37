#pragma once

#include "db/DbKind.hpp"

#include <string>
#include <string_view>

namespace db {

// What differs between the database families, in one place: chosen once, at
// connect, by the family the connection reached.
struct TDialect {
    TDbKind Kind;
    const char* Name;
    // Opens the statements of one decision as one transaction; nullptr where
    // each statement commits on its own.
    const char* Begin;
    // Opens a transaction whose reads all see one moment of the database (the
    // offline copy's refresh).
    const char* ConsistentSnapshot;
    // Text literals: a backslash is an escape character and is doubled.
    bool BackslashEscapes;
    // Makes a session read backslashes in literals as they are (statements
    // rendered by another dialect's rule); nullptr where they always are.
    const char* PlainBackslashes;
    // "loop" is a reserved word: the table's name is quoted.
    bool LoopReserved;
    // A decision reads its rows in one joined query (a database a few
    // milliseconds away pays every round trip on every card).
    bool JoinedDecision;
    // Another computer may decide at the same moment: a decision first locks
    // the rows it may change. (An SQLite file takes one writer at a time.)
    bool LockingDecision;
};

const TDialect& DialectOf(TDbKind kind) noexcept;
// A table's name as the dialect writes it (`loop` on the MySQL family).
std::string TableName(const TDialect& dialect, std::string_view table);

} // namespace db
