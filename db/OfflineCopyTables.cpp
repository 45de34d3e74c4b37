#include "db/OfflineCopyTables.hpp"

#include "config/Format.hpp"
#include "db/ODBC.hpp"
#include "db/SchemaText.hpp"
#include "db/SiteColumns.hpp"
#include "db/Sql.hpp"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

namespace db::offline {
namespace {

constexpr int kTicketDays = 7;  // tickets issued this long ago may still leave

bool IsInteger(int sqlType)
{
    return sqlType == SQL_TINYINT || sqlType == SQL_SMALLINT || sqlType == SQL_INTEGER || sqlType == SQL_BIGINT ||
           sqlType == SQL_BIT;
}

bool IsNumber(int sqlType)
{
    return IsInteger(sqlType) || sqlType == SQL_REAL || sqlType == SQL_FLOAT || sqlType == SQL_DOUBLE ||
           sqlType == SQL_DECIMAL || sqlType == SQL_NUMERIC;
}

// The type the copy declares: one the SQLite driver reports back as the
// site's kind (a date-time as a date-time), with the affinity that keeps the
// value's text (numbers become numbers, dates and names stay text).
std::string CopyType(const TColumnInfo& c)
{
    switch (c.SqlType) {
    case SQL_BIT: return "bit";
    case SQL_TINYINT: return "tinyint";
    case SQL_SMALLINT: return "smallint";
    case SQL_INTEGER: return "integer";
    case SQL_BIGINT: return "bigint";
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE: return "double";
    case SQL_DECIMAL:
    case SQL_NUMERIC: return config::Format("numeric(%d,%d)", static_cast<int>(c.Size), c.Digits);
    case SQL_TYPE_DATE:
    case SQL_DATE: return "date";
    case SQL_TYPE_TIME:
    case SQL_TIME: return "time";
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP: return "datetime";
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
        if (c.Size > 0 && c.Size <= 65535)
            return config::Format("varchar(%d)", static_cast<int>(c.Size));
        return "text";
    default: return "text";
    }
}

// The shipped SQLite schema's index statements for a table, with their columns.
struct TShippedIndex {
    std::string Sql;
    std::vector<std::string> Columns;
};

std::vector<TShippedIndex> ShippedIndexes(const std::string& table)
{
    std::vector<TShippedIndex> out;
    const std::string_view text = ShippedSQLiteSchemaText();
    const std::string on = " ON " + table + " (";
    for (std::size_t at = text.find("CREATE INDEX"); at != std::string_view::npos;
         at = text.find("CREATE INDEX", at + 1)) {
        const std::string_view statement = text.substr(at, text.find(';', at) - at);
        const std::size_t open = statement.find(on);
        if (open == std::string_view::npos)
            continue;
        const std::string_view list = statement.substr(open + on.size(), statement.find(')', open) - open - on.size());
        TShippedIndex index{std::string(statement), {}};
        std::size_t start = 0;
        while (start <= list.size()) {
            const std::size_t comma = std::min(list.find(',', start), list.size());
            index.Columns.push_back(config::LowerCase(config::TrimView(list.substr(start, comma - start))));
            start = comma + 1;
        }
        out.push_back(std::move(index));
    }
    return out;
}

// The columns the service reads of a table, and its id where the site has
// one: the copy's ranges follow that key.
std::vector<std::string> KnownColumns(const std::string& table)
{
    std::vector<std::string> columns{"id"};
    if (const TSiteTable* listed = FindSiteTable(table))
        for (const TSiteColumn& c : listed->Columns)
            if (c.Name != "id")
                columns.push_back(config::LowerCase(c.Name));
    return columns;
}

} // namespace

std::string QuotedColumn(TDbKind dialect, const std::string& name)
{
    return dialect == dkMySql ? "`" + name + "`" : "\"" + name + "\"";
}

std::string TCopyTable::Shape() const
{
    std::string out;
    for (const auto& c : Columns)
        out += config::Format("%s %d %d %d %d;", config::LowerCase(c.Name), c.SqlType, static_cast<int>(c.Size),
                              c.Digits, c.Nullable ? 1 : 0);
    return out;
}

std::string TCopyTable::ColumnList(TDbKind dialect) const
{
    std::string out;
    for (const auto& c : Columns)
        out += (out.empty() ? "" : ",") + QuotedColumn(dialect, c.Name);
    return out;
}

std::vector<TCopyTable> CopiedTables(TDbKind dialect, const std::string& deviceFilter, platform::TDateTime readAt)
{
    enum class TRows { All, Devices, RecentTickets, None };
    struct TSpec {
        const char* Name;
        const char* Key;
        TRows Rows;
    };
    static constexpr TSpec kTables[] = {
        {"card", "number", TRows::All},
        {"card_type", "id", TRows::All},
        {"a_l_range", "id", TRows::All},
        {"a_l_range_device", "", TRows::All},
        {"holiday", "", TRows::All},
        {"device", "id", TRows::Devices},
        {"messages", "id", TRows::All},
        {"settings", "id", TRows::All},
        {"card_pool", "id", TRows::All},
        {"pathway_ft", "", TRows::All},
        {"spots", "", TRows::All},
        {"lot", "id", TRows::All},
        {"counters", "id", TRows::All},
        {"counter_item", "", TRows::All},
        {"tickinv", "id", TRows::RecentTickets},
        // A start-up while the site database is away finds its loops here.
        {"loop", "id", TRows::All},
        // Written by decisions offline, never read by them.
        {"trans", "", TRows::None},
        {"gateoc", "", TRows::None},
    };
    std::vector<TCopyTable> out;
    for (const TSpec& spec : kTables) {
        TCopyTable& t = out.emplace_back();
        t.Name = spec.Name;
        t.SiteName = dialect == dkMySql && t.Name == "loop" ? "`loop`" : t.Name;
        t.KeyName = spec.Key;
        t.Rows = spec.Rows != TRows::None;
        if (spec.Rows == TRows::Devices)
            t.Where = deviceFilter;
        if (spec.Rows == TRows::RecentTickets)
            t.Where = "in_date >= " + DateTimeEscape(readAt - kTicketDays);
    }
    return out;
}

bool DescribeSite(TODBC& site, TCopyTable& table)
{
    TRawRows rows(site);
    if (!rows.Open("SELECT * FROM " + table.SiteName + " WHERE 1 = 0"))
        return false;
    const std::vector<std::string> known = KnownColumns(table.Name);
    table.Columns.clear();
    table.Key = -1;
    for (const auto& c : rows.Columns()) {
        const std::string name = config::LowerCase(c.Name);
        if (std::find(known.begin(), known.end(), name) == known.end())
            continue;
        if (name == table.KeyName && IsNumber(c.SqlType))
            table.Key = static_cast<int>(table.Columns.size());
        table.Columns.push_back(c);
        table.Columns.back().Name = name;
    }
    return true;
}

void ReadPrimaryKey(TODBC& site, TCopyTable& table)
{
    table.PrimaryKey.clear();
    SQLHSTMT stmt = nullptr;
    if (!site.Connected || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, site.ConnHandle(), &stmt)))
        return;
    std::string name = table.Name;
    std::vector<std::string> keys;
    if (SQL_SUCCEEDED(SQLPrimaryKeys(stmt, nullptr, 0, nullptr, 0, reinterpret_cast<SQLCHAR*>(name.data()), SQL_NTS))) {
        char column[256] = {};
        SQLLEN indicator = 0;
        SQLBindCol(stmt, 4, SQL_C_CHAR, column, sizeof column, &indicator);
        while (SQL_SUCCEEDED(SQLFetch(stmt)))
            keys.push_back(config::LowerCase(column));
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    if (keys.size() != 1)
        return;
    for (const auto& c : table.Columns)
        if (c.Name == keys[0] && IsInteger(c.SqlType) && c.SqlType != SQL_BIT)
            table.PrimaryKey = keys[0];
}

std::string CreateTableSql(const TCopyTable& table)
{
    std::string sql = "CREATE TABLE " + table.Name + " (";
    for (std::size_t i = 0; i < table.Columns.size(); ++i) {
        const TColumnInfo& c = table.Columns[i];
        sql += (i ? ", " : "") + QuotedColumn(dkSQLite, c.Name) + " ";
        // The one form SQLite takes as the row's own number: ids given offline.
        sql += c.Name == table.PrimaryKey ? "integer PRIMARY KEY" : CopyType(c);
    }
    return sql + ")";
}

std::vector<std::string> CreateIndexSql(const TCopyTable& table)
{
    std::vector<std::string> out;
    auto has = [&](const std::string& column) {
        return std::any_of(table.Columns.begin(), table.Columns.end(),
                           [&](const TColumnInfo& c) { return c.Name == column; });
    };
    bool keyIndexed = table.Key < 0 || table.KeyColumn()->Name == table.PrimaryKey;
    for (const auto& index : ShippedIndexes(table.Name)) {
        if (!std::all_of(index.Columns.begin(), index.Columns.end(), has))
            continue;
        out.push_back(index.Sql);
        keyIndexed = keyIndexed || (table.Key >= 0 && index.Columns.front() == table.KeyColumn()->Name);
    }
    // The ranges are read and replaced by their key.
    if (!keyIndexed)
        out.push_back("CREATE INDEX velix_range_" + table.Name + " ON " + table.Name + " (" +
                      QuotedColumn(dkSQLite, table.KeyColumn()->Name) + ")");
    return out;
}

} // namespace db::offline
