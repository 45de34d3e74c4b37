// SQLite extension that gives the ODBC escapes {fn now()} and {fn curdate()},
// which the SQLite ODBC driver turns into now() and curdate(), their meaning
// in the local time of this machine, and the offline copy's range checksums.
// Loaded with the driver's LoadExt option.
#include "db/sqlite/Checksum.hpp"

#include <sqlite3ext.h>

#include <time.h>

#include <cstdio>
#include <mutex>

SQLITE_EXTENSION_INIT1

namespace {

void LocalText(sqlite3_context* ctx, bool withTime)
{
    const time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char text[80];
    if (withTime)
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    sqlite3_result_text(ctx, text, -1, SQLITE_TRANSIENT);
}

void Now(sqlite3_context* ctx, int, sqlite3_value**)
{
    LocalText(ctx, true);
}

void CurDate(sqlite3_context* ctx, int, sqlite3_value**)
{
    LocalText(ctx, false);
}

} // namespace

extern "C" int sqlite3_extension_init(sqlite3* db, char**, const sqlite3_api_routines* api)
{
    // Every connection loads the extension, on whichever thread connects; the
    // library's API table is the same each time, so it is set once, and each
    // loading thread is ordered after that.
    static std::once_flag apiSet;
    std::call_once(apiSet, [api] { SQLITE_EXTENSION_INIT2(api); });
    // Not deterministic: the value changes with the clock.
    int rc = sqlite3_create_function(db, "now", 0, SQLITE_UTF8, nullptr, Now, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_function(db, "curdate", 0, SQLITE_UTF8, nullptr, CurDate, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = RegisterChecksumFunctions(db);
    return rc;
}
