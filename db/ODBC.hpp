#pragma once

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "db/DbKind.hpp"
#include "db/Dialect.hpp"
#include "platform/LocalTime.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace config {
class TMessLog;
}

namespace db {

class TODBCStatement;

// The driver manager's handles and numbers as the binding keeps them: the
// ODBC headers stay inside db/ (ODBC.cpp checks that these match them).
using TOdbcHandle = void*;      // SQLHANDLE, SQLHENV, SQLHDBC, SQLHSTMT
using TOdbcLen = long;          // SQLLEN
using TOdbcReturn = short;      // SQLRETURN
using TOdbcULen = unsigned long;  // SQLULEN
using TOdbcUInt = unsigned int;   // SQLUINTEGER

enum TColKind : std::uint8_t {
    ckUnknown = 0,
    ckString = 1,
    ckInteger = 2,
    ckFloat = 3,
    ckBoolean = 4,
    ckDate = 5,
    ckTime = 6,
    ckDateTime = 7,
    ckMemo = 8,
};

struct TColInfo {
    char Name[129] = {};  // upper-cased, cut at 128 characters
    TColKind Kind = ckUnknown;
    std::int32_t Size = 0;
    TOdbcLen Indicator = 0;  // length/indicator cell of the bound buffer
};

using TColInfoList = std::vector<TColInfo>;

TColKind ColKindOf(TOdbcLen sqlType) noexcept;
// A diagnostic record of a transaction that lost to another one (a deadlock,
// a certification conflict on a replicated cluster, a lock held too long):
// run it again.
bool IsConflict(std::string_view state, long native) noexcept;
// A diagnostic record of a row that another transaction inserted first (a
// unique key already taken).
bool IsDuplicateKey(std::string_view state, long native) noexcept;
// A diagnostic record that shows the server connection is gone.
bool IsLostConnection(std::string_view state, std::string_view message) noexcept;
// The connection string for SQLDriverConnect. A dsn naming an existing file
// contributes that file's [ODBC] pairs. dsnOption is the OPTION value of the
// named data source, merged for MySQL-family connections.
std::string ConnectionString(TDbKind kind, const std::string& dsn, const std::string& user,
                             const std::string& password, const std::string& driver,
                             const std::string& database, const std::string& options,
                             const std::string& dsnOption);
// Where the pair of a connection string with this key (letter case and
// blanks around it ignored) starts and ends, if the text has one; a braced
// value may hold ";".
std::optional<std::pair<std::size_t, std::size_t>> FindConnectionPair(std::string_view text, std::string_view key);
// The value of that pair, trimmed (braces kept); nullopt when there is none.
std::optional<std::string> ConnectionPairValue(std::string_view text, std::string_view key);
// The text with key=value in place of the key's pair, or added at its end.
std::string WithConnectionPair(std::string text, std::string_view key, std::string_view value);
// Whether the driver manager knows a driver, or a data source, by this name
// (letter case ignored).
bool DriverRegistered(const std::string& name) noexcept;
bool DataSourceExists(const std::string& name) noexcept;
// The family named by text (driver name or connection string); current when
// nothing is recognised.
TDbKind DetectKind(std::string_view text, TDbKind current) noexcept;

// One ODBC connection. Not thread-safe: one thread at a time uses a TODBC and
// its statements. Never throws for a database failure.
class TODBC {
public:
    TODBC();
    ~TODBC();
    TODBC(const TODBC&) = delete;
    TODBC& operator=(const TODBC&) = delete;

    // True at once when already connected.
    bool Connect(const std::string& dsn, const std::string& user, const std::string& password,
                 const std::string& driver, const std::string& database, const std::string& options,
                 bool autoCommitOff) noexcept;
    // Releases every statement's handle (the statement objects stay with their
    // owners and fail from then on), commits and disconnects.
    void Disconnect() noexcept;
    // Asks the driver, which asks the server: a round trip.
    bool IsDead() noexcept;
    // The server answered a statement within the last few seconds.
    bool AnsweredRecently() const noexcept;
    TDbKind Kind() const noexcept { return m_kind; }
    // What the family's statements look like; fixed at connect.
    const TDialect& Dialect() const noexcept { return DialectOf(m_kind); }
    // A node of a replicated cluster (wsrep on): its reads may lag behind
    // what the other nodes committed.
    bool IsClusterNode() const noexcept { return m_clusterNode; }
    // What goes before the statement that opens a decision by locking the rows
    // it may change (an UPDATE that changes nothing), on MariaDB: a bounded
    // wait for a lock another computer holds, and on a cluster node a wait
    // until the node has applied what the cluster had committed when the
    // statement began. Empty elsewhere.
    std::string LockingPrefix() const;

    config::TMessLog* MessageLog = nullptr;  // not owned
    bool ReportErrors = false;
    bool BindColumns = false;
    bool Connected = false;
    bool ConnectionLost = false;
    // Set when a reported failure was a conflict (IsConflict); the caller clears it.
    bool ConflictSeen = false;
    // A TTransaction is open: a conflict is retried by running it all again.
    bool InTransaction = false;
    // The connection was lost at the last transaction's COMMIT: whether the
    // server applied it cannot be known, so it must not be run again.
    bool LostAtCommit = false;
    // The first record of the last diagnostics reported, for operator commands.
    std::string LastDiagnostic;
    std::string LastState;  // its SQLSTATE
    long LastNative = 0;    // and the server's own error number
    // The statements of a decision share one commit (TTransaction); off, each
    // statement commits on its own.
    bool OneCommitPerDecision = true;
    std::string ConnectString;
    // Called with the text of every statement executed; for benchmarks and tracing.
    std::function<void(const std::string&)> OnExec;

    TOdbcHandle EnvHandle() const noexcept { return m_env; }
    TOdbcHandle ConnHandle() const noexcept { return m_dbc; }

    // Writes the diagnostics of a failed call to the log (when ReportErrors) and
    // notes a lost server connection. rc success values report nothing.
    void ReportDiagnostics(short handleType, TOdbcHandle handle, TOdbcReturn rc) noexcept;
    // What every failed statement leaves, logged or not: its first diagnostic
    // record (LastDiagnostic, LastState, LastNative), a conflict, a lost connection.
    void NoteFailure(TOdbcHandle statement) noexcept;

private:
    friend class TODBCStatement;
    void Register(TODBCStatement* statement);
    void Unregister(TODBCStatement* statement) noexcept;
    TOdbcReturn ExecDirect(TOdbcHandle stmt, const std::string& sql);
    std::string DataSourceDescription(const std::string& dsn);
    // Which server it is (MariaDB, a node with replication on); after connecting.
    void LearnServer() noexcept;
    void ConnReport(TOdbcReturn rc) noexcept;

    // When the server last answered a statement.
    std::chrono::steady_clock::time_point m_lastAnswer{};
    static constexpr std::chrono::seconds kTrustedFor{10};
    TOdbcHandle m_env = nullptr;
    TOdbcHandle m_dbc = nullptr;
    TDbKind m_kind = dkOther;
    bool m_mariaDb = false;
    bool m_clusterNode = false;
    // What the driver answered the first statement's set-up; constant for a connection.
    std::optional<TOdbcULen> m_concurrency;
    std::optional<TOdbcUInt> m_cursorAttributes[4];
    // Handles of freed statements, closed and set up, for the next statements:
    // allocating and configuring a handle costs more than many statements.
    std::vector<TOdbcHandle> m_freeHandles;
    bool m_pooledRefreshCapable = false;
    static constexpr std::size_t kMaxFreeHandles = 16;
    std::vector<TODBCStatement*> m_statements;  // empty slots are reused
};

// The statement a "SET STATEMENT ... FOR" prefix applies to (the whole text
// where there is none): what decides whether it is a query.
std::string_view StatementProper(std::string_view sql) noexcept;

// One statement handle and its current result row. Lives inside the one
// operation that uses it.
class TODBCStatement {
public:
    explicit TODBCStatement(TODBC& owner);
    ~TODBCStatement();
    TODBCStatement(const TODBCStatement&) = delete;
    TODBCStatement& operator=(const TODBCStatement&) = delete;

    // Runs a statement; a query is positioned on its first row. True for a
    // SELECT exactly when a row came back; true for a change statement that
    // ran (Eof set when it touched no row). Failures are not logged.
    bool ExecSQL(const std::string& sql) noexcept;
    // ExecSQL, and on failure the SQL text and the diagnostics go to the log.
    bool Exec(const std::string& sql) noexcept;
    // Exec for statements whose success is all that counts (definitions,
    // transaction control): true unless the statement failed, also where the
    // driver answers "no data".
    bool Run(const std::string& sql) noexcept
    {
        Exec(sql);
        return !m_failed;
    }
    template <typename... TArgs>
    bool ExecFmt(std::string_view format, const TArgs&... args) noexcept;
    template <typename... TArgs>
    bool ExecFmtQuiet(std::string_view format, const TArgs&... args) noexcept;

    bool Next() noexcept;
    bool Eof() const noexcept { return m_eof; }
    // The last statement failed, as opposed to a query that found no row.
    bool Failed() const noexcept { return m_failed; }
    int FieldIndex(std::string_view name) const noexcept;
    // A joined query brings several tables whose column names repeat. Each
    // table's columns follow a marker column named kSectionMark + a name
    // ("SELECT 0 AS section_card, card.*, ..."); after SelectSection(name)
    // columns are looked up in that section alone, until the next query.
    // False when the result has no such marker.
    static constexpr std::string_view kSectionMark = "SECTION_";
    bool SelectSection(std::string_view name) noexcept;
    // Whether the column holds NULL in the current row (an unmatched outer
    // join); false for unknown columns.
    bool IsNull(std::string_view name) const noexcept;

    // Unknown columns read as empty, 0, false, today's date at midnight.
    std::string AsString(std::string_view name) noexcept;
    std::int32_t AsInteger(std::string_view name) noexcept;
    double AsFloat(std::string_view name) noexcept;
    bool AsBool(std::string_view name) noexcept;
    platform::TDateTime AsDateTime(std::string_view name) noexcept;

    // The table's column names, upper-cased, comma-separated.
    std::string ListColumns(std::string_view table) noexcept;

    const TColInfoList& Columns() const noexcept { return m_columns; }
    TODBC& Database() const noexcept { return m_owner; }
    bool Allocated() const noexcept { return m_allocated; }
    bool RefreshCapable() const noexcept { return m_refreshCapable; }
    const std::string& LastSQL() const noexcept { return m_lastSql; }
    TOdbcHandle StmtHandle() const noexcept { return m_stmt; }

private:
    friend class TODBC;
    // After a conflict the server has undone the whole transaction: what was
    // left of it would run outside any (autocommit), so it does not run.
    bool TransactionLost() const noexcept { return m_owner.InTransaction && m_owner.ConflictSeen; }
    bool RunSQL(const std::string& sql) noexcept;
    void ReleaseHandle() noexcept;
    void DescribeResult();
    void Report(TOdbcReturn rc) noexcept;
    bool FormatFailed(std::string_view format, const std::exception& e) noexcept;
    std::string ColumnText(int index);

    TODBC& m_owner;
    TOdbcHandle m_stmt = nullptr;
    bool m_allocated = false;
    bool m_bindColumns = false;
    bool m_eof = false;
    bool m_failed = false;
    bool m_refreshCapable = false;
    std::string m_lastSql;
    TColInfoList m_columns;
    std::vector<std::unique_ptr<char[]>> m_buffers;
    std::size_t m_sectionBegin = 0, m_sectionEnd = SIZE_MAX;  // columns looked up
};

template <typename... TArgs>
bool TODBCStatement::ExecFmt(std::string_view format, const TArgs&... args) noexcept
{
    std::string sql;
    try {
        sql = config::Format(format, args...);
    } catch (const std::exception& e) {
        return FormatFailed(format, e);
    }
    return Exec(sql);
}

template <typename... TArgs>
bool TODBCStatement::ExecFmtQuiet(std::string_view format, const TArgs&... args) noexcept
{
    std::string sql;
    try {
        sql = config::Format(format, args...);
    } catch (const std::exception& e) {
        return FormatFailed(format, e);
    }
    return ExecSQL(sql);
}

} // namespace db
