#pragma once

#include <cstdint>

namespace db {

// Database family of a connection: the two the service ships a schema for,
// and any other ODBC database, which gets the plainest statements.
enum TDbKind : std::uint8_t {
    dkOther = 0,
    dkMySql = 1,  // MySQL and MariaDB, a single server or a cluster node
    dkSQLite = 2,
};

} // namespace db
