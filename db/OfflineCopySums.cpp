#include "db/OfflineCopySums.hpp"

#include "config/Format.hpp"
#include "db/ODBC.hpp"
#include "db/sqlite/RowText.hpp"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <charconv>

namespace db::offline {
namespace {

bool IsText(int sqlType)
{
    return sqlType == SQL_CHAR || sqlType == SQL_VARCHAR || sqlType == SQL_LONGVARCHAR || sqlType == SQL_WCHAR ||
           sqlType == SQL_WVARCHAR || sqlType == SQL_WLONGVARCHAR;
}

std::string Joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : ",") + item;
    return out;
}

// A value as the MySQL-family server puts it into the checksum: text in
// UTF-8 whatever the column's character set (the copy holds it as the driver
// delivered it), a bit as its number.
std::string MySqlValue(const TColumnInfo& c)
{
    const std::string name = QuotedColumn(dkMySql, c.Name);
    if (IsText(c.SqlType))
        return "CONVERT(" + name + " USING utf8mb4)";
    if (c.SqlType == SQL_BIT)
        return name + "+0";
    return name;
}

// The copy's value in the form the site's text has: a fixed-point number
// with its decimals ("12.50"), which SQLite holds as a plain number.
std::string LocalValue(const TColumnInfo& c, TDbKind site)
{
    const std::string name = QuotedColumn(dkSQLite, c.Name);
    if (site == dkMySql && (c.SqlType == SQL_DECIMAL || c.SqlType == SQL_NUMERIC))
        return config::Format("CASE WHEN %s IS NULL THEN NULL ELSE printf('%%.%df', %s) END", name, c.Digits, name);
    return name;
}

// CONCAT_WS leaves NULLs out: a bit per nullable column, NULL or not, keeps
// ('a', NULL) apart from (NULL, 'a'); 62 to a mask.
std::vector<std::string> MySqlMasks(const TCopyTable& table)
{
    std::vector<std::string> masks;
    std::string mask;
    int bit = 0;
    for (const auto& c : table.Columns) {
        if (!c.Nullable)
            continue;
        mask += (mask.empty() ? "" : "|") +
                config::Format("(ISNULL(%s)<<%d)", QuotedColumn(dkMySql, c.Name), bit);
        if (++bit == rowtext::kMaskBits) {
            masks.push_back("(" + mask + ")");
            mask.clear();
            bit = 0;
        }
    }
    if (!mask.empty())
        masks.push_back("(" + mask + ")");
    return masks;
}

std::string Filter(const TCopyTable& table, bool siteRows)
{
    return siteRows && !table.Where.empty() ? " WHERE " + table.Where : "";
}

template <typename T>
bool ParseNumber(std::string_view text, T& value)
{
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// "range rows checksum" lines, as the extension's velix_ranges gives them.
bool ParseLocalSums(std::string_view text, TRangeMap& sums)
{
    while (!text.empty()) {
        const std::size_t nl = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(std::min(nl + 1, text.size()));
        const std::size_t a = line.find(' '), b = line.rfind(' ');
        long long range = 0, rows = 0;
        unsigned long long checksum = 0;
        if (a == b || !ParseNumber(line.substr(0, a), range) || !ParseNumber(line.substr(a + 1, b - a - 1), rows) ||
            !ParseNumber(line.substr(b + 1), checksum))
            return false;
        sums[static_cast<int>(range)] = {rows, checksum};
    }
    return true;
}

} // namespace

std::string BoundsSql(const TCopyTable& table)
{
    return config::Format("SELECT velix_bounds(%s, %d) AS bounds FROM %s",
                          QuotedColumn(dkSQLite, table.KeyColumn()->Name), kRangeRows, table.Name);
}

std::vector<std::string> SplitBounds(std::string_view text)
{
    std::vector<std::string> out;
    while (!text.empty()) {
        const std::size_t comma = std::min(text.find(','), text.size());
        out.emplace_back(text.substr(0, comma));
        text.remove_prefix(std::min(comma + 1, text.size()));
    }
    return out;
}

std::string LocalSumsSql(const TCopyTable& table, const std::vector<std::string>& bounds, TDbKind site,
                         bool siteRows)
{
    std::string nullable, values;
    for (const auto& c : table.Columns) {
        nullable += c.Nullable ? '1' : '0';
        values += ", " + LocalValue(c, site);
    }
    const std::string key = table.Key < 0 ? "0" : QuotedColumn(dkSQLite, table.KeyColumn()->Name);
    return "SELECT velix_ranges(" + key + ", '" + Joined(bounds) + "', '" + nullable + "'" + values +
           ") AS sums FROM " + (siteRows ? table.SiteName : table.Name) + Filter(table, siteRows);
}

std::string MySqlSumsSql(const TCopyTable& table, const std::vector<std::string>& bounds)
{
    std::string values;
    for (const auto& c : table.Columns)
        values += ", " + MySqlValue(c);
    for (const auto& mask : MySqlMasks(table))
        values += ", " + mask;
    std::string range = "0";
    if (table.Key >= 0) {
        const std::string key = QuotedColumn(dkMySql, table.KeyColumn()->Name);
        range = bounds.empty() ? "IF(" + key + " IS NULL, -1, 0)" : "INTERVAL(" + key + ", " + Joined(bounds) + ")";
    }
    return "SELECT " + range + " AS r, COUNT(*) AS n, SUM(CRC32(CONCAT_WS(CHAR(31)" + values + "))) AS x FROM " +
           table.SiteName + Filter(table, true) + (table.Key >= 0 ? " GROUP BY r" : "");
}

std::string SiteColumns(const TCopyTable& table, TDbKind site)
{
    if (site != dkMySql)
        return table.ColumnList(site);
    std::string out;
    for (const auto& c : table.Columns)
        out += (out.empty() ? "" : ",") + (c.SqlType == SQL_BIT ? MySqlValue(c) + " AS " + QuotedColumn(site, c.Name)
                                                                 : QuotedColumn(site, c.Name));
    return out;
}

std::string SiteSelectSql(const TCopyTable& table, TDbKind site, const std::string& predicate)
{
    const std::string where = table.Where.empty() ? predicate
                              : predicate.empty() ? table.Where
                                                  : "(" + table.Where + ") AND (" + predicate + ")";
    return "SELECT " + SiteColumns(table, site) + " FROM " + table.SiteName + (where.empty() ? "" : " WHERE " + where);
}

std::string CopyInsertHead(const TCopyTable& table)
{
    return "INSERT INTO " + table.Name + " (" + table.ColumnList(dkSQLite) + ") VALUES ";
}

bool ReadSums(TODBC& db, const std::string& sql, TRangeMap& sums)
{
    TRawRows rows(db);
    if (!rows.Open(sql, TRawRows::TFetch::Whole))
        return false;
    const bool local = rows.Columns().size() == 1;
    while (rows.Next()) {
        if (local) {
            if (!ParseLocalSums(rows.Text(0), sums))
                return false;
            continue;
        }
        long long range = 0, count = 0;
        unsigned long long checksum = 0;
        // An empty table's one row: no count, and a NULL sum.
        if (!ParseNumber(rows.Text(0), range) || !ParseNumber(rows.Text(1), count))
            return false;
        if (count > 0 && !ParseNumber(rows.Text(2), checksum))
            return false;
        if (count > 0)
            sums[static_cast<int>(range)] = {count, checksum};
    }
    return !rows.Failed();
}

std::string RangesPredicate(const TCopyTable& table, const std::vector<std::string>& bounds,
                            const std::vector<int>& ranges, TDbKind dialect)
{
    if (table.Key < 0)
        return "1 = 1";
    const std::string key = QuotedColumn(dialect, table.KeyColumn()->Name);
    const int last = static_cast<int>(bounds.size());
    std::string out;
    for (std::size_t i = 0; i < ranges.size();) {
        std::string one;
        if (ranges[i] == kNullKeyRange) {
            one = key + " IS NULL";
            ++i;
        } else {
            std::size_t j = i;
            while (j + 1 < ranges.size() && ranges[j + 1] == ranges[j] + 1)
                ++j;
            const int from = ranges[i], to = ranges[j];
            if (from > 0)
                one = key + " >= " + bounds[static_cast<std::size_t>(from - 1)];
            if (to < last)
                one += (one.empty() ? "" : " AND ") + key + " < " + bounds[static_cast<std::size_t>(to)];
            if (one.empty())
                one = key + " IS NOT NULL";
            i = j + 1;
        }
        out += (out.empty() ? "(" : " OR (") + one + ")";
    }
    return out.empty() ? "1 = 0" : out;
}

} // namespace db::offline
