#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "platform/Metrics.hpp"
#include "platform/RegistryFile.hpp"

#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace db {
namespace {

bool Ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// Fixed-position number of a date-time text; nullopt when not a number.
std::optional<int> Part(std::string_view text, std::size_t from, std::size_t length)
{
    if (text.size() < from - 1 + length)
        return std::nullopt;
    const std::string_view s = text.substr(from - 1, length);
    int v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
        return std::nullopt;
    return v;
}

std::optional<platform::TDateTime> ParseDate(std::string_view text)
{
    const int y = Part(text, 1, 4).value_or(1899);
    const int m = Part(text, 6, 2).value_or(12);
    const int d = Part(text, 9, 2).value_or(30);
    if (!platform::IsValidDate(y, m, d))
        return std::nullopt;
    return platform::EncodeDate(y, m, d);
}

std::optional<platform::TDateTime> ParseTime(std::string_view text, std::size_t at)
{
    const int h = Part(text, at, 2).value_or(0);
    const int n = Part(text, at + 3, 2).value_or(0);
    const int s = Part(text, at + 6, 2).value_or(0);
    if (!platform::IsValidTime(h, n, s))
        return std::nullopt;
    return platform::EncodeTime(h, n, s);
}

// The display size ODBC defines for a column of this type and size: what a
// conforming driver reports as SQL_COLUMN_DISPLAY_SIZE.
SQLLEN DisplaySize(SQLLEN type, SQLULEN columnSize, SQLSMALLINT digits)
{
    const auto size = static_cast<SQLLEN>(std::min<SQLULEN>(columnSize, 1u << 30));
    const SQLLEN fraction = digits > 0 ? digits + 1 : 0;
    switch (type) {
    case SQL_DECIMAL:
    case SQL_NUMERIC: return size + 2;
    case SQL_BIT: return 1;
    case SQL_TINYINT: return 4;
    case SQL_SMALLINT: return 6;
    case SQL_INTEGER: return 11;
    case SQL_BIGINT: return 20;
    case SQL_REAL: return 14;
    case SQL_FLOAT:
    case SQL_DOUBLE: return 24;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: return size * 2;
    case SQL_TYPE_DATE: return 10;
    case SQL_TYPE_TIME: return 8 + fraction;
    case SQL_TYPE_TIMESTAMP: return 19 + fraction;
    case SQL_GUID: return 36;
    default: return size;
    }
}

platform::TDateTime Today()
{
    const auto t = platform::LocalNow();
    return platform::EncodeDate(t.Year, t.Month, t.Day);
}

} // namespace

TODBCStatement::TODBCStatement(TODBC& owner) : m_owner(owner), m_bindColumns(owner.BindColumns)
{
    if (owner.ConnHandle() && !owner.m_freeHandles.empty()) {
        m_stmt = owner.m_freeHandles.back();
        owner.m_freeHandles.pop_back();
        m_allocated = true;
        m_refreshCapable = owner.m_pooledRefreshCapable;
        owner.Register(this);
        return;
    }
    if (!owner.ConnHandle() || !Ok(SQLAllocHandle(SQL_HANDLE_STMT, owner.ConnHandle(), &m_stmt))) {
        m_stmt = nullptr;
        return;
    }
    m_allocated = true;
    // The driver's answers are the same for every statement of a connection:
    // negotiate once, then set what it accepted.
    if (owner.m_concurrency) {
        SQLSetStmtAttr(m_stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(*owner.m_concurrency), 0);
    } else {
        for (SQLULEN concurrency : {SQL_CONCUR_ROWVER, SQL_CONCUR_VALUES, SQL_CONCUR_LOCK})
            if (SQLSetStmtAttr(m_stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(concurrency), 0) !=
                SQL_ERROR) {
                owner.m_concurrency = concurrency;
                break;
            }
    }
    SQLSetStmtAttr(m_stmt, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE), 0);
    Report(SQLSetStmtAttr(m_stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0));
    SQLULEN cursor = SQL_CURSOR_FORWARD_ONLY;
    SQLGetStmtAttr(m_stmt, SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr);
    // A driver that turns the dynamic cursor into a static one reads the whole
    // result up front (MySQL, SQLite) or runs the query twice; rows are only
    // ever walked forward here, so a forward-only cursor serves.
    if (cursor == SQL_CURSOR_STATIC) {
        SQLSetStmtAttr(m_stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
        cursor = SQL_CURSOR_FORWARD_ONLY;
        SQLGetStmtAttr(m_stmt, SQL_ATTR_CURSOR_TYPE, &cursor, 0, nullptr);
    }
    const int slot = cursor == SQL_CURSOR_KEYSET_DRIVEN ? 1 : cursor == SQL_CURSOR_DYNAMIC ? 2
                     : cursor == SQL_CURSOR_STATIC      ? 3 : 0;
    auto& cached = owner.m_cursorAttributes[slot];
    if (!cached) {
        static constexpr SQLUSMALLINT kInfo[] = {SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1, SQL_KEYSET_CURSOR_ATTRIBUTES1,
                                                 SQL_DYNAMIC_CURSOR_ATTRIBUTES1, SQL_STATIC_CURSOR_ATTRIBUTES1};
        SQLUINTEGER attributes = 0;
        owner.ConnReport(SQLGetInfo(owner.ConnHandle(), kInfo[slot], &attributes, sizeof attributes, nullptr));
        cached = attributes;
    }
    m_refreshCapable = (*cached & SQL_CA1_POS_REFRESH) != 0 && cursor != SQL_CURSOR_STATIC;
    owner.m_pooledRefreshCapable = m_refreshCapable;
    SQLSetStmtAttr(m_stmt, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(0), 0);
    owner.Register(this);
}

TODBCStatement::~TODBCStatement()
{
    m_owner.Unregister(this);
    ReleaseHandle();
}

void TODBCStatement::ReleaseHandle() noexcept
{
    if (!m_allocated)
        return;
    // No execution can be running here (they are synchronous), so there is
    // nothing to cancel; some drivers do real work in SQLCancel all the same.
    const SQLRETURN closed = SQLFreeStmt(m_stmt, SQL_CLOSE);
    Report(closed);
    Report(SQLFreeStmt(m_stmt, SQL_UNBIND));
    Report(SQLFreeStmt(m_stmt, SQL_RESET_PARAMS));
    if (Ok(closed) && m_owner.Connected && !m_owner.ConnectionLost &&
        m_owner.m_freeHandles.size() < TODBC::kMaxFreeHandles)
        m_owner.m_freeHandles.push_back(m_stmt);
    else
        Report(SQLFreeHandle(SQL_HANDLE_STMT, m_stmt));
    m_stmt = nullptr;
    m_allocated = false;
    m_columns.clear();
    m_buffers.clear();
}

bool TODBCStatement::FormatFailed(std::string_view format, const std::exception& e) noexcept
{
    if (m_owner.MessageLog)
        m_owner.MessageLog->Log("EXCEPTION: ExecFmt " + std::string(e.what()) + "  " + std::string(format), config::TLevel::Error);
    m_eof = false;
    m_failed = true;
    return false;
}

void TODBCStatement::Report(TOdbcReturn rc) noexcept
{
    m_owner.ReportDiagnostics(SQL_HANDLE_STMT, m_stmt, rc);
}

std::string_view StatementProper(std::string_view sql) noexcept
{
    constexpr std::string_view kPrefix = "SET STATEMENT ";
    constexpr std::string_view kFor = " FOR ";
    const std::string_view text = config::TrimView(sql);
    if (text.size() < kPrefix.size() || !platform::EqualsNoCase(text.substr(0, kPrefix.size()), kPrefix))
        return sql;
    // The values set are numbers and names: the first " FOR " ends them.
    for (std::size_t at = kPrefix.size(); at + kFor.size() <= text.size(); ++at)
        if (platform::EqualsNoCase(text.substr(at, kFor.size()), kFor))
            return config::TrimView(text.substr(at + kFor.size()));
    return sql;
}

bool TODBCStatement::ExecSQL(const std::string& sql) noexcept
{
    if (TransactionLost() && sql != "COMMIT" && sql != "ROLLBACK") {
        m_eof = false;
        m_failed = true;
        return false;
    }
    const bool ran = RunSQL(sql);
    m_failed = !ran && !m_eof;
    return ran;
}

bool TODBCStatement::RunSQL(const std::string& sql) noexcept
{
    try {
        m_lastSql = sql;
        m_eof = false;
        if (m_owner.OnExec)
            m_owner.OnExec(sql);
        if (!m_allocated)
            return false;
        SQLFreeStmt(m_stmt, SQL_UNBIND);
        Report(SQLFreeStmt(m_stmt, SQL_CLOSE));
        const SQLRETURN rc = m_owner.ExecDirect(m_stmt, sql);
        if (Ok(rc) || rc == SQL_NO_DATA)
            m_owner.m_lastAnswer = std::chrono::steady_clock::now();
        if (!Ok(rc) && rc != SQL_NO_DATA)
            m_owner.NoteFailure(m_stmt);
        const std::string_view proper = StatementProper(sql);
        const std::string verb = config::TrimText(config::UpperCase(proper.substr(0, 6)));
        const bool change = verb == "INSERT" || verb == "DELETE" || verb == "UPDATE";
        if (Ok(rc)) {
            DescribeResult();
            if (verb == "SELECT") {
                std::size_t at = proper.find(' ');
                const std::size_t second = at == std::string::npos ? at : proper.find(' ', at + 1);
                if (second != std::string::npos)
                    at = second;
                std::string word = at == std::string::npos ? std::string()
                                                            : config::UpperCase(config::TrimText(proper.substr(at + 1)));
                word = word.substr(0, word.find(' '));
                if (word == "INTO")
                    return true;
                const bool fetched = Next();
                m_eof = !fetched;
                return fetched;
            }
            if (change) {
                // Drivers that answer SQL_SUCCESS for a statement that touched
                // no row still say so in the row count.
                SQLLEN rows = -1;
                if (Ok(SQLRowCount(m_stmt, &rows)) && rows == 0)
                    m_eof = true;
            }
            return true;
        }
        if (rc == SQL_NO_DATA) {
            m_eof = true;
            return change;
        }
        return false;
    } catch (...) {
        return false;
    }
}

bool TODBCStatement::Exec(const std::string& sql) noexcept
{
    auto report = [&] {
        if (config::TMessLog* log = m_owner.MessageLog) {
            const bool errors = m_owner.ReportErrors;
            m_owner.ReportErrors = true;
            log->Add(sql);
            Report(SQL_ERROR);
            m_owner.ReportErrors = errors;
        } else {
            Report(SQL_ERROR);
        }
    };
    bool result = ExecSQL(sql);
    if (result || m_eof || TransactionLost())
        return result;
    const bool conflictBefore = m_owner.ConflictSeen;
    platform::Metrics().Add("velixcard_failed_statements_total");
    report();
    // A statement of its own that lost to another transaction (a deadlock, a
    // cluster's certification conflict) was undone whole: it runs once more.
    // Inside a transaction the whole transaction is what runs again.
    if (m_owner.ConflictSeen && !conflictBefore && !m_owner.InTransaction) {
        m_owner.ConflictSeen = false;
        if (m_owner.MessageLog)
            m_owner.MessageLog->Log("A statement lost to another transaction; it runs again", config::TLevel::Warning);
        result = ExecSQL(sql);
        if (!result && !m_eof)
            report();
    }
    return result;
}

void TODBCStatement::DescribeResult()
{
    m_sectionBegin = 0;
    m_sectionEnd = SIZE_MAX;
    m_columns.clear();
    m_buffers.clear();
    SQLSMALLINT count = 0;
    Report(SQLNumResultCols(m_stmt, &count));
    if (count <= 0)
        return;
    m_columns.resize(static_cast<std::size_t>(count));
    if (m_bindColumns)
        m_buffers.resize(static_cast<std::size_t>(count));
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
        TColInfo& col = m_columns[i - 1];
        // One call for name, concise type and size: every call through the
        // driver manager costs about as much as a short statement's own
        // share of the driver's work, and a result row may have 44 columns.
        char name[254] = {};
        SQLSMALLINT nameLen = 0, described = SQL_CHAR, digits = 0, nullable = 0;
        SQLULEN columnSize = 0;
        SQLLEN type = SQL_CHAR;
        SQLLEN size = 0;
        if (Ok(SQLDescribeCol(m_stmt, i, reinterpret_cast<SQLCHAR*>(name), sizeof name, &nameLen, &described,
                              &columnSize, &digits, &nullable))) {
            type = described;
            size = DisplaySize(type, columnSize, digits);
        } else {
            SQLColAttribute(m_stmt, i, SQL_DESC_NAME, name, sizeof name, &nameLen, nullptr);
            SQLColAttribute(m_stmt, i, SQL_COLUMN_DISPLAY_SIZE, nullptr, 0, nullptr, &size);
        }
        const std::string upper = config::UpperCase(name).substr(0, 128);
        std::memcpy(col.Name, upper.c_str(), upper.size() + 1);
        col.Kind = ColKindOf(type);
        if (col.Kind == ckUnknown)
            size = 0;
        col.Size = static_cast<std::int32_t>(std::clamp<SQLLEN>(size, -1, 1 << 24));
        if (!m_bindColumns)
            continue;
        if (col.Kind == ckMemo) {
            m_buffers[i - 1] = std::make_unique<char[]>(1);
            continue;
        }
        std::int32_t capacity = col.Size <= 0 ? 10 : col.Size;
        if (col.Kind == ckInteger || col.Kind == ckFloat)
            capacity += 20;
        // Display sizes count characters; UTF-8 text needs up to four bytes each.
        if (col.Kind == ckString)
            capacity *= 4;
        m_buffers[i - 1] = std::make_unique<char[]>(static_cast<std::size_t>(capacity) + 2);
        col.Indicator = capacity + 1;
        Report(SQLBindCol(m_stmt, i, SQL_C_CHAR, m_buffers[i - 1].get(), capacity + 1, &col.Indicator));
    }
}

bool TODBCStatement::Next() noexcept
{
    if (!m_allocated)
        return false;
    if (m_bindColumns)
        for (auto& b : m_buffers)
            if (b)
                b[0] = '\0';
    return Ok(SQLFetch(m_stmt));
}

int TODBCStatement::FieldIndex(std::string_view name) const noexcept
{
    char upper[129];
    const std::size_t n = std::min<std::size_t>(name.size(), 128);
    for (std::size_t i = 0; i < n; ++i)
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
    upper[n] = '\0';
    for (std::size_t i = m_sectionBegin; i < std::min(m_sectionEnd, m_columns.size()); ++i)
        if (std::strcmp(m_columns[i].Name, upper) == 0)
            return static_cast<int>(i);
    return -1;
}

bool TODBCStatement::SelectSection(std::string_view name) noexcept
{
    auto isMark = [](const TColInfo& c) { return std::string_view(c.Name).starts_with(kSectionMark); };
    const std::string wanted = std::string(kSectionMark) + config::UpperCase(std::string(name));
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (wanted != m_columns[i].Name)
            continue;
        m_sectionBegin = i + 1;
        m_sectionEnd = m_sectionBegin;
        while (m_sectionEnd < m_columns.size() && !isMark(m_columns[m_sectionEnd]))
            ++m_sectionEnd;
        return true;
    }
    return false;
}

bool TODBCStatement::IsNull(std::string_view name) const noexcept
{
    const int index = FieldIndex(name);
    return index >= 0 && m_bindColumns && m_columns[static_cast<std::size_t>(index)].Kind != ckMemo &&
           m_columns[static_cast<std::size_t>(index)].Indicator == SQL_NULL_DATA;
}

std::string TODBCStatement::ColumnText(int index)
{
    const auto i = static_cast<std::size_t>(index);
    if (m_columns[i].Kind != ckMemo) {
        if (!m_bindColumns || !m_buffers[i])
            return std::string();
        return config::TrimText(m_buffers[i].get());
    }
    const auto column = static_cast<SQLUSMALLINT>(index + 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        char probe[1];
        SQLLEN length = 0;
        const SQLRETURN rc = SQLGetData(m_stmt, column, SQL_C_CHAR, probe, 0, &length);
        if (rc == SQL_NO_DATA && m_refreshCapable && attempt == 0) {
            if (SQLSetPos(m_stmt, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE) == SQL_ERROR)
                return std::string();
            continue;
        }
        if (!Ok(rc) || (length <= 0 && length != SQL_NO_TOTAL))
            return std::string();
        std::string text;
        std::vector<char> chunk(length == SQL_NO_TOTAL ? 4096 : static_cast<std::size_t>(length) + 1);
        for (;;) {
            SQLLEN got = 0;
            const SQLRETURN r = SQLGetData(m_stmt, column, SQL_C_CHAR, chunk.data(),
                                           static_cast<SQLLEN>(chunk.size()), &got);
            if (!Ok(r))
                break;
            text += chunk.data();
            if (r == SQL_SUCCESS)
                break;
        }
        return config::TrimText(text);
    }
    return std::string();
}

std::string TODBCStatement::AsString(std::string_view name) noexcept
{
    try {
        const int index = FieldIndex(name);
        return index < 0 ? std::string() : ColumnText(index);
    } catch (...) {
        return std::string();
    }
}

std::int32_t TODBCStatement::AsInteger(std::string_view name) noexcept
{
    return config::TextToInt(AsString(name));
}

double TODBCStatement::AsFloat(std::string_view name) noexcept
{
    return config::TextToFloat(AsString(name));
}

bool TODBCStatement::AsBool(std::string_view name) noexcept
{
    return AsInteger(name) != 0;
}

platform::TDateTime TODBCStatement::AsDateTime(std::string_view name) noexcept
{
    try {
        const int index = FieldIndex(name);
        if (index < 0)
            return Today();
        const TColKind kind = m_columns[static_cast<std::size_t>(index)].Kind;
        if (kind != ckDate && kind != ckTime && kind != ckDateTime)
            return Today();
        const std::string text = ColumnText(index);
        if (kind == ckTime)
            return ParseTime(text, 1).value_or(0);
        const auto date = ParseDate(text);
        if (kind == ckDate)
            return date.value_or(0);
        const auto time = ParseTime(text, 12);
        return date && time ? *date + *time : 0;
    } catch (...) {
        return 0;
    }
}

std::string TODBCStatement::ListColumns(std::string_view table) noexcept
{
    try {
        if (!m_allocated)
            return std::string();
        const std::string name(table);
        auto list = [this](std::string tableName) {
            Report(SQLFreeStmt(m_stmt, SQL_CLOSE));
            Report(SQLFreeStmt(m_stmt, SQL_UNBIND));
            Report(SQLFreeStmt(m_stmt, SQL_RESET_PARAMS));
            m_columns.clear();
            m_buffers.clear();
            m_sectionBegin = 0;
            m_sectionEnd = SIZE_MAX;
            std::string out;
            SQLRETURN rc = SQLColumns(m_stmt, nullptr, 0, nullptr, 0,
                                      reinterpret_cast<SQLCHAR*>(tableName.data()), SQL_NTS, nullptr, 0);
            Report(rc);
            if (!Ok(rc))
                return out;
            char column[126] = {};
            SQLLEN indicator = 0;
            Report(SQLBindCol(m_stmt, 4, SQL_C_CHAR, column, sizeof column, &indicator));
            while (SQLFetch(m_stmt) == SQL_SUCCESS) {
                std::string c = config::UpperCase(column);
                if (c.find(' ') != std::string::npos)
                    c = "\"" + c + "\"";
                if (!out.empty())
                    out += ",";
                out += c;
            }
            SQLFreeStmt(m_stmt, SQL_UNBIND);
            SQLFreeStmt(m_stmt, SQL_CLOSE);
            return out;
        };
        std::string out = list(name);
        // A catalog that stores names in the other letter case (MySQL on Linux).
        for (const std::string& other : {config::LowerCase(name), config::UpperCase(name)}) {
            if (!out.empty() || other == name)
                continue;
            out = list(other);
        }
        return out;
    } catch (...) {
        return std::string();
    }
}

} // namespace db
