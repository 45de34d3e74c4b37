#include "db/OfflineCopyRows.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>

namespace db::offline {
namespace {

// A bound text column holds at most this many bytes; a longer one is read
// a value at a time.
constexpr std::size_t kLongestBound = 16 * 1024;
constexpr std::size_t kBlockBytes = 4 * 1024 * 1024;
constexpr std::size_t kMostRowsPerBlock = 512;
constexpr std::size_t kNumberBytes = 64;  // a number, date or time as text
constexpr std::size_t kBytesPerCharacter = 4;

bool Ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

bool IsText(int sqlType)
{
    switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
        return true;
    default:
        return false;
    }
}

// The buffer a column's text needs, 0 when it has no bound that fits one.
std::size_t BoundWidth(const TColumnInfo& c)
{
    if (!IsText(c.SqlType))
        return std::max(kNumberBytes, c.Size + 4);  // a long fixed-point number: digits, sign, point
    if (c.Size == 0 || c.Size > kLongestBound / kBytesPerCharacter)
        return 0;
    return c.Size * kBytesPerCharacter + 1;
}

} // namespace

struct TRawRows::TImpl {
    SQLHSTMT Stmt = nullptr;
    bool Whole = false;
    // Blocks: column-wise arrays of Rowset values.
    std::size_t Rowset = 1;
    std::vector<std::size_t> Widths;
    std::vector<std::vector<char>> Buffers;
    std::vector<std::vector<SQLLEN>> Indicators;
    SQLULEN Fetched = 0;
    std::size_t Position = 0;
    // Whole: the current row's values.
    std::vector<std::string> Values;
    std::vector<bool> Nulls;
    bool Done = false;

    ~TImpl()
    {
        if (Stmt)
            SQLFreeHandle(SQL_HANDLE_STMT, Stmt);
    }
};

TRawRows::TRawRows(TODBC& odbc) : m_odbc(odbc), m_impl(std::make_unique<TImpl>()) {}

TRawRows::~TRawRows() = default;

void TRawRows::Fail(const std::string& why)
{
    m_failed = true;
    m_impl->Done = true;
    if (!why.empty())
        m_odbc.LastDiagnostic = why;
}

bool TRawRows::Open(const std::string& sql, TFetch fetch) noexcept
{
    try {
        TImpl& d = *m_impl;
        if (!m_odbc.Connected || !Ok(SQLAllocHandle(SQL_HANDLE_STMT, m_odbc.ConnHandle(), &d.Stmt))) {
            d.Stmt = nullptr;
            Fail("no connection");
            return false;
        }
        if (m_odbc.OnExec)
            m_odbc.OnExec(sql);
        std::string text = sql;
        const SQLRETURN rc = SQLExecDirect(d.Stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
        if (!Ok(rc) && rc != SQL_NO_DATA) {
            m_odbc.ReportDiagnostics(SQL_HANDLE_STMT, d.Stmt, rc);
            if (m_odbc.MessageLog && m_odbc.ReportErrors)
                m_odbc.MessageLog->Log(sql.substr(0, 500));
            Fail("");
            return false;
        }
        SQLSMALLINT count = 0;
        SQLNumResultCols(d.Stmt, &count);
        for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(std::max<SQLSMALLINT>(count, 0)); ++i) {
            char name[256] = {};
            SQLSMALLINT nameLen = 0, type = SQL_CHAR, digits = 0, nullable = SQL_NULLABLE_UNKNOWN;
            SQLULEN size = 0;
            SQLDescribeCol(d.Stmt, i, reinterpret_cast<SQLCHAR*>(name), sizeof name, &nameLen, &type, &size, &digits,
                           &nullable);
            m_columns.push_back({name, type, static_cast<std::size_t>(size), digits, nullable != SQL_NO_NULLS});
        }
        d.Whole = fetch == TFetch::Whole;
        std::size_t rowBytes = 0;
        for (const auto& c : m_columns) {
            const std::size_t width = BoundWidth(c);
            d.Whole = d.Whole || width == 0;
            d.Widths.push_back(width);
            rowBytes += width + sizeof(SQLLEN);
        }
        if (d.Whole) {
            d.Values.resize(m_columns.size());
            d.Nulls.resize(m_columns.size());
            return true;
        }
        d.Rowset = std::clamp<std::size_t>(kBlockBytes / std::max<std::size_t>(rowBytes, 1), 1, kMostRowsPerBlock);
        SQLSetStmtAttr(d.Stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN), 0);
        if (!Ok(SQLSetStmtAttr(d.Stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(d.Rowset), 0)))
            d.Rowset = 1;
        SQLSetStmtAttr(d.Stmt, SQL_ATTR_ROWS_FETCHED_PTR, &d.Fetched, 0);
        d.Buffers.resize(m_columns.size());
        d.Indicators.resize(m_columns.size());
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            d.Buffers[i].assign(d.Widths[i] * d.Rowset, '\0');
            d.Indicators[i].assign(d.Rowset, 0);
            SQLBindCol(d.Stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, d.Buffers[i].data(),
                       static_cast<SQLLEN>(d.Widths[i]), d.Indicators[i].data());
        }
        d.Position = 0;
        d.Fetched = 0;
        return true;
    } catch (...) {
        Fail("out of memory");
        return false;
    }
}

bool TRawRows::FetchBlock()
{
    TImpl& d = *m_impl;
    if (d.Position + 1 < d.Fetched) {
        ++d.Position;
        return true;
    }
    d.Fetched = 0;
    const SQLRETURN rc = SQLFetch(d.Stmt);
    if (rc == SQL_NO_DATA) {
        d.Done = true;
        return false;
    }
    if (!Ok(rc)) {
        m_odbc.ReportDiagnostics(SQL_HANDLE_STMT, d.Stmt, rc);
        Fail("");
        return false;
    }
    // Some drivers leave the count alone when the rowset is one row.
    if (d.Fetched == 0)
        d.Fetched = 1;
    d.Position = 0;
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        for (std::size_t r = 0; r < d.Fetched; ++r) {
            const SQLLEN n = d.Indicators[i][r];
            if (n != SQL_NULL_DATA && (n == SQL_NO_TOTAL || static_cast<std::size_t>(n) >= d.Widths[i])) {
                Fail("column " + m_columns[i].Name + " holds a value longer than its declared size");
                return false;
            }
        }
    }
    return true;
}

bool TRawRows::FetchWhole()
{
    TImpl& d = *m_impl;
    const SQLRETURN rc = SQLFetch(d.Stmt);
    if (rc == SQL_NO_DATA) {
        d.Done = true;
        return false;
    }
    if (!Ok(rc)) {
        m_odbc.ReportDiagnostics(SQL_HANDLE_STMT, d.Stmt, rc);
        Fail("");
        return false;
    }
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        std::string& value = d.Values[i];
        value.clear();
        d.Nulls[i] = false;
        char chunk[8192];
        for (;;) {
            SQLLEN length = 0;
            const SQLRETURN r = SQLGetData(d.Stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, chunk, sizeof chunk,
                                           &length);
            if (r == SQL_NO_DATA)
                break;
            if (!Ok(r)) {
                m_odbc.ReportDiagnostics(SQL_HANDLE_STMT, d.Stmt, r);
                Fail("");
                return false;
            }
            if (length == SQL_NULL_DATA) {
                d.Nulls[i] = true;
                break;
            }
            // A piece fills the buffer but for its terminating zero.
            const bool more = r == SQL_SUCCESS_WITH_INFO &&
                              (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) >= sizeof chunk);
            value.append(chunk, more ? sizeof chunk - 1 : static_cast<std::size_t>(length));
            if (!more)
                break;
        }
    }
    return true;
}

bool TRawRows::Next() noexcept
{
    try {
        if (m_impl->Done || !m_impl->Stmt)
            return false;
        return m_impl->Whole ? FetchWhole() : FetchBlock();
    } catch (...) {
        Fail("out of memory");
        return false;
    }
}

bool TRawRows::IsNull(std::size_t column) const noexcept
{
    const TImpl& d = *m_impl;
    if (column >= m_columns.size())
        return true;
    return d.Whole ? d.Nulls[column] : d.Indicators[column][d.Position] == SQL_NULL_DATA;
}

std::string_view TRawRows::Text(std::size_t column) const noexcept
{
    const TImpl& d = *m_impl;
    if (column >= m_columns.size() || IsNull(column))
        return {};
    if (d.Whole)
        return d.Values[column];
    return {d.Buffers[column].data() + d.Position * d.Widths[column],
            static_cast<std::size_t>(d.Indicators[column][d.Position])};
}

void AppendTuple(std::string& out, const TRawRows& rows)
{
    static const TSql kQuoting(dkSQLite);  // SQLite: quotes doubled, backslashes as they are
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '(';
    for (std::size_t i = 0; i < rows.Columns().size(); ++i) {
        if (i > 0)
            out += ',';
        const std::string_view text = rows.Text(i);
        if (rows.IsNull(i)) {
            out += "NULL";
        } else if (text.find('\0') != std::string_view::npos) {
            // A zero byte would end the statement's text: the bytes as a blob, read as text.
            out += "CAST(X'";
            for (const char c : text)
                out.append({kHex[static_cast<unsigned char>(c) >> 4], kHex[static_cast<unsigned char>(c) & 15]});
            out += "' AS TEXT)";
        } else {
            out += '\'';
            out += kQuoting.EscapeText(text);
            out += '\'';
        }
    }
    out += ')';
}

TInsertBatch::TInsertBatch(TODBC& copy, std::string head) : m_copy(copy), m_head(std::move(head)), m_sql(m_head) {}

bool TInsertBatch::Add(std::string_view tuple)
{
    if (!m_empty)
        m_sql += ',';
    m_sql += tuple;
    m_empty = false;
    return m_sql.size() < kStatementBytes || Flush();
}

bool TInsertBatch::Flush()
{
    if (m_empty)
        return true;
    TODBCStatement s(m_copy);
    const bool ok = s.Run(m_sql);
    m_sql = m_head;
    m_empty = true;
    return ok;
}

} // namespace db::offline
