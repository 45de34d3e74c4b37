#pragma once

#include <cstdint>

namespace db {

// Database family of a connection, recognised from the driver name or the
// connection text.
enum TDbKind : std::uint8_t {
    dkUnknown = 0,
    dkOracle = 1,
    dkMySql = 2,
    dkFoxPro = 3,
    dkFirebird = 4,
    dkAccess = 5,
    dkExcel = 6,
    dkSqlServer = 7,
    dkCodebase = 8,
};

} // namespace db
