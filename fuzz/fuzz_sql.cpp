// Text escaped for a database and read back by SQLite is the same text.
#include "db/Sql.hpp"

#include "FuzzInput.hpp"

#include <sqlite3.h>

#include <string>

namespace {

sqlite3* Database()
{
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        sqlite3_open(":memory:", &d);
        return d;
    }();
    return db;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto text = fuzz::Text(data, size);
    if (text.find('\0') != std::string_view::npos)
        return 0;  // a statement is NUL-terminated text
    const db::TSql sql(db::dkSQLite);
    const std::string statement = "SELECT '" + sql.EscapeText(text) + "'";
    sqlite3_stmt* stmt = nullptr;
    fuzz::Require(sqlite3_prepare_v2(Database(), statement.c_str(), -1, &stmt, nullptr) == SQLITE_OK);
    fuzz::Require(sqlite3_step(stmt) == SQLITE_ROW);
    const auto* back = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    const int length = sqlite3_column_bytes(stmt, 0);
    fuzz::Require(std::string_view(back ? back : "", static_cast<std::size_t>(length)) == text);
    sqlite3_finalize(stmt);
    return 0;
}
