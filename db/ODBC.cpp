#include "db/ODBC.hpp"

#include "config/MessLog.hpp"
#include "platform/FileText.hpp"
#include "platform/RegistryFile.hpp"

#include <odbcinst.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <type_traits>
#include <utility>

static_assert(std::is_same_v<SQLHANDLE, db::TOdbcHandle> && std::is_same_v<SQLHSTMT, db::TOdbcHandle> &&
              std::is_same_v<SQLLEN, db::TOdbcLen> && std::is_same_v<SQLRETURN, db::TOdbcReturn> &&
              std::is_same_v<SQLULEN, db::TOdbcULen> && std::is_same_v<SQLUINTEGER, db::TOdbcUInt> &&
              std::is_same_v<SQLSMALLINT, short>,
              "the binding's handle and number types are the driver manager's");

namespace db {
namespace {

// Appends key=value; the value as it stands (already connection-string text)
// or made so by the bracing rules.
enum class TPairValue { Text, Verbatim };
void AddPair(std::string& out, std::string_view key, std::string_view value, TPairValue form = TPairValue::Text)
{
    if (value.empty())
        return;
    if (!out.empty())
        out += ';';
    out += key;
    out += '=';
    out += form == TPairValue::Verbatim ? std::string(value) : config::ConnectionValue(value);
}

// The pairs of the [ODBC] section of a file DSN, in file order.
std::string FileDsnPairs(const std::string& path)
{
    const auto text = platform::ReadWholeFile(path);
    if (!text)
        return std::string();
    std::string out;
    bool inSection = false;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        std::string line = config::TrimText(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (line.size() >= 2 && line.front() == '[') {
            inSection = platform::EqualsNoCase(config::TrimText(line.substr(1, line.find(']') - 1)), "ODBC");
            continue;
        }
        const auto eq = line.find('=');
        if (!inSection || eq == std::string::npos || line.front() == ';')
            continue;
        const std::string key = config::TrimText(line.substr(0, eq));
        std::string value = config::TrimText(line.substr(eq + 1));
        if (platform::EqualsNoCase(key, "DRIVER") && value.find(' ') != std::string::npos &&
            value.front() != '{')
            value = "{" + value + "}";
        AddPair(out, key, value, TPairValue::Verbatim);
    }
    return out;
}

// MariaDB/MySQL drivers count changed rather than matched rows unless bit 2 of
// OPTION is set; an UPDATE that rewrites a value a row already holds would
// read as "no row". Sets the bit, keeping the bits a site has set.
std::string WithFoundRows(std::string text, const std::string& dsnOption)
{
    constexpr unsigned long kFoundRows = 2;
    auto withBit = [&](std::string_view bitsText) {
        const std::string_view value = config::TrimView(bitsText);
        unsigned long bits = 0;
        std::from_chars(value.data(), value.data() + value.size(), bits);
        return std::to_string(bits | kFoundRows);
    };
    if (const auto at = FindConnectionPair(text, "OPTION")) {
        const std::size_t valueAt = text.find('=', at->first) + 1;
        const std::size_t length = at->second - valueAt;
        return text.replace(valueAt, length, withBit(std::string_view(text).substr(valueAt, length)));
    }
    return text + (text.empty() ? "" : ";") + "OPTION=" + withBit(dsnOption);
}

// Seconds a MySQL-family connection may take to connect, and a statement to
// be sent or answered, unless the site says otherwise: without them a server
// that stops answering (hung, or its host gone) holds the main thread, and
// every gate, for as long as TCP keeps the connection.
std::string WithTimeouts(std::string text)
{
    static constexpr std::pair<const char*, int> kTimeouts[] = {
        {"CONN_TIMEOUT", 3}, {"READ_TIMEOUT", 5}, {"WRITE_TIMEOUT", 5}};
    for (const auto& [key, seconds] : kTimeouts)
        if (!FindConnectionPair(text, key))
            text += std::string(text.empty() ? "" : ";") + key + "=" + std::to_string(seconds);
    return text;
}

bool Ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

} // namespace

namespace {

// Where the pair that starts at pos ends: at the next ";" outside a braced
// value ("PWD={a;b}", "}}" standing for one brace), so that a password holding
// ";OPTION=0" is never taken for a pair of its own.
std::size_t PairEnd(std::string_view text, std::size_t pos)
{
    const auto until = [&](std::size_t from) { return std::min(text.find(';', from), text.size()); };
    const std::size_t eq = text.find('=', pos);
    if (eq == std::string_view::npos || eq > until(pos))
        return until(pos);
    const std::size_t value = text.find_first_not_of(' ', eq + 1);
    if (value == std::string_view::npos || text[value] != '{')
        return until(pos);
    for (std::size_t i = value + 1; i < text.size(); ++i) {
        if (text[i] != '}')
            continue;
        if (i + 1 < text.size() && text[i + 1] == '}') {
            ++i;
            continue;
        }
        return until(i);
    }
    return text.size();
}

} // namespace

std::optional<std::pair<std::size_t, std::size_t>> FindConnectionPair(std::string_view text, std::string_view key)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = PairEnd(text, pos);
        const std::string_view pair = text.substr(pos, end - pos);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && platform::EqualsNoCase(config::TrimView(pair.substr(0, eq)), key))
            return std::pair{pos, end};
        pos = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> ConnectionPairValue(std::string_view text, std::string_view key)
{
    const auto at = FindConnectionPair(text, key);
    if (!at)
        return std::nullopt;
    const std::string_view pair = text.substr(at->first, at->second - at->first);
    return config::TrimText(pair.substr(pair.find('=') + 1));
}

std::string WithConnectionPair(std::string text, std::string_view key, std::string_view value)
{
    const std::string pair = std::string(key) + "=" + std::string(value);
    if (const auto at = FindConnectionPair(text, key))
        return text.replace(at->first, at->second - at->first, pair);
    return text + (text.empty() ? "" : ";") + pair;
}

TColKind ColKindOf(TOdbcLen sqlType) noexcept
{
    switch (sqlType) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_LONGVARBINARY:
    case SQL_VARBINARY:
        return ckString;
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_TINYINT:
    case SQL_BIGINT:
        return ckInteger;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
        return ckFloat;
    case SQL_BIT:
        return ckBoolean;
    case SQL_TYPE_DATE:
        return ckDate;
    case SQL_TYPE_TIME:
    case SQL_TIME:
        return ckTime;
    case SQL_TYPE_TIMESTAMP:
    case SQL_DATETIME:
    case SQL_TIMESTAMP:
        return ckDateTime;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
        return ckMemo;
    default:
        return ckUnknown;
    }
}

TDbKind DetectKind(std::string_view text, TDbKind current) noexcept
{
    const std::string t = config::LowerCase(text);
    struct TRule {
        const char* word;
        TDbKind kind;
    };
    // MariaDB escapes backslashes as MySQL does.
    static constexpr TRule kRules[] = {{"mysql", dkMySql}, {"mariadb", dkMySql}, {"sqlite", dkSQLite}};
    for (const auto& r : kRules)
        if (t.find(r.word) != std::string::npos)
            return r.kind;
    return current;
}

TODBC::TODBC()
{
    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env))) {
        m_env = nullptr;
        return;
    }
    if (!Ok(SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        m_env = nullptr;
    }
}

TODBC::~TODBC()
{
    Disconnect();
    if (m_env)
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

TOdbcReturn TODBC::ExecDirect(TOdbcHandle stmt, const std::string& sql)
{
    // On the calling thread, which blocks on the driver until the return code
    // is known: a hand-over to another thread costs more than it could save.
    try {
        return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
    } catch (...) {
        return SQL_ERROR;
    }
}

void TODBC::Register(TODBCStatement* statement)
{
    const auto slot = std::find(m_statements.begin(), m_statements.end(), nullptr);
    if (slot != m_statements.end())
        *slot = statement;
    else
        m_statements.push_back(statement);
}

void TODBC::Unregister(TODBCStatement* statement) noexcept
{
    const auto it = std::find(m_statements.begin(), m_statements.end(), statement);
    if (it != m_statements.end())
        *it = nullptr;
}

std::string ConnectionString(TDbKind kind, const std::string& dsn, const std::string& user,
                             const std::string& password, const std::string& driver, const std::string& database,
                             const std::string& options, const std::string& dsnOption)
{
    std::string out;
    if (!dsn.empty() && platform::FileExists(dsn) && !platform::IsDirectory(dsn))
        out = FileDsnPairs(dsn);
    if (out.empty()) {
        AddPair(out, "DSN", dsn);
        AddPair(out, "DRIVER", config::BracedValue(driver), TPairValue::Verbatim);
        AddPair(out, "Database", database);
    }
    AddPair(out, "UID", user);
    AddPair(out, "PWD", password);
    if (!options.empty()) {
        if (!out.empty())
            out += ';';
        out += options;
    }
    if (kind == dkMySql)
        out = WithTimeouts(WithFoundRows(out, dsnOption));
    return out;
}

namespace {

// Walks the driver manager's list of drivers or data sources for a name.
bool Listed(const std::string& name, bool drivers) noexcept
{
    SQLHENV env = nullptr;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return false;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    bool found = false;
    SQLCHAR entry[256], detail[1024];
    SQLSMALLINT entryLen = 0, detailLen = 0;
    for (SQLUSMALLINT direction = SQL_FETCH_FIRST;; direction = SQL_FETCH_NEXT) {
        const SQLRETURN rc = drivers ? SQLDrivers(env, direction, entry, sizeof entry, &entryLen, detail,
                                                  sizeof detail, &detailLen)
                                     : SQLDataSources(env, direction, entry, sizeof entry, &entryLen, detail,
                                                      sizeof detail, &detailLen);
        if (!Ok(rc))
            break;
        if (platform::EqualsNoCase(reinterpret_cast<char*>(entry), name)) {
            found = true;
            break;
        }
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return found;
}

} // namespace

bool DriverRegistered(const std::string& name) noexcept
{
    return Listed(name, true);
}

bool DataSourceExists(const std::string& name) noexcept
{
    return Listed(name, false);
}

bool IsLostConnection(std::string_view state, std::string_view message) noexcept
{
    static constexpr std::string_view kLost[] = {"08001", "08002", "08003", "08004",
                                                 "08005", "08006", "08007", "08S01"};
    // Some drivers report a lost server as a general error (HY000) with its
    // text: MariaDB's "Lost connection to server during query", for one.
    static constexpr std::string_view kLostTexts[] = {"UNABLE TO COMPLETE NETWORK REQUEST TO HOST",
                                                      "LOST CONNECTION TO SERVER", "SERVER HAS GONE AWAY",
                                                      // MariaDB's first statement on a killed session.
                                                      "BROKEN PIPE"};
    const std::string upper = config::UpperCase(message);
    return std::find(std::begin(kLost), std::end(kLost), state) != std::end(kLost) ||
           std::any_of(std::begin(kLostTexts), std::end(kLostTexts),
                       [&](std::string_view text) { return upper.find(text) != std::string::npos; });
}

bool IsConflict(std::string_view state, long native) noexcept
{
    constexpr long kDeadlock = 1213;
    constexpr long kLockWaitTimeout = 1205;
    return state == "40001" || native == kDeadlock || native == kLockWaitTimeout;
}

bool IsDuplicateKey(std::string_view state, long native) noexcept
{
    constexpr long kDuplicateEntry = 1062;
    return state == "23000" && native == kDuplicateEntry;
}

std::string TODBC::LockingPrefix() const
{
    // innodb_lock_wait_timeout: a computer whose session hangs in the middle
    // of a decision holds the card a few seconds at most, not the server's 50.
    // wsrep_sync_wait 2 (updates): the statement waits for what was committed
    // anywhere in the cluster; the reads after it take their snapshot later.
    if (!m_mariaDb)
        return "";
    return std::string("SET STATEMENT innodb_lock_wait_timeout = 5") + (m_clusterNode ? ", wsrep_sync_wait = 2" : "") +
           " FOR ";
}

std::string TODBC::DataSourceDescription(const std::string& dsn)
{
    SQLCHAR name[SQL_MAX_DSN_LENGTH + 1];
    SQLCHAR desc[512];
    SQLSMALLINT nameLen = 0, descLen = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (Ok(SQLDataSources(m_env, direction, name, sizeof name, &nameLen, desc, sizeof desc, &descLen))) {
        direction = SQL_FETCH_NEXT;
        if (platform::EqualsNoCase(reinterpret_cast<char*>(name), dsn))
            return reinterpret_cast<char*>(desc);
    }
    return dsn;
}

bool TODBC::Connect(const std::string& dsn, const std::string& user, const std::string& password,
                    const std::string& driver, const std::string& database, const std::string& options,
                    bool autoCommitOff) noexcept
{
    try {
        if (Connected)
            return true;
        if (!m_env || !Ok(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc))) {
            m_dbc = nullptr;
            return false;
        }
        ConnReport(SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(5), 0));
        m_kind = DetectKind(driver, m_kind);
        if (!database.empty())
            ConnReport(SQLSetConnectAttr(m_dbc, SQL_ATTR_CURRENT_CATALOG,
                                         reinterpret_cast<SQLPOINTER>(const_cast<char*>(database.c_str())),
                                         SQL_NTS));
        SQLSetConnectAttr(m_dbc, SQL_ATTR_METADATA_ID, reinterpret_cast<SQLPOINTER>(SQL_FALSE), 0);
        if (autoCommitOff)
            ConnReport(SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0));
        ConnReport(SQLSetConnectAttr(m_dbc, SQL_ATTR_ODBC_CURSORS,
                                     reinterpret_cast<SQLPOINTER>(SQL_CUR_USE_IF_NEEDED), 0));

        SQLRETURN rc = SQL_ERROR;
        // A MySQL-family DSN goes through the connection string too, so that
        // matched rows are counted (see WithFoundRows).
        const bool viaDsn = !dsn.empty() && m_kind != dkMySql;
        if (viaDsn) {
            rc = SQLConnect(m_dbc, reinterpret_cast<SQLCHAR*>(const_cast<char*>(dsn.c_str())), SQL_NTS,
                            reinterpret_cast<SQLCHAR*>(const_cast<char*>(user.c_str())), SQL_NTS,
                            reinterpret_cast<SQLCHAR*>(const_cast<char*>(password.c_str())), SQL_NTS);
        }
        if (Ok(rc)) {
            ConnectString = DataSourceDescription(dsn);
        } else {
            std::string dsnOption;
            if (m_kind == dkMySql && !dsn.empty()) {
                char buf[64] = {};
                SQLGetPrivateProfileString(dsn.c_str(), "OPTION", "", buf, sizeof buf, "odbc.ini");
                dsnOption = buf;
            }
            const std::string in =
                ConnectionString(m_kind, dsn, user, password, driver, database, options, dsnOption);
            SQLCHAR out[1024] = {};
            SQLSMALLINT outLen = 0;
            rc = SQLDriverConnect(m_dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(in.c_str())),
                                  SQL_NTS, out, sizeof out - 1, &outLen, SQL_DRIVER_NOPROMPT);
            ConnectString = reinterpret_cast<char*>(out);
        }
        if (!Ok(rc)) {
            m_kind = dkOther;
            ConnReport(rc);
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
            m_dbc = nullptr;
            return false;
        }
        m_kind = DetectKind(ConnectString, m_kind);
        char dbms[64] = {};
        SQLGetInfo(m_dbc, SQL_DBMS_NAME, dbms, sizeof dbms, nullptr);
        // The family names no SQLite; the server's own name does.
        if (config::LowerCase(dbms).find("sqlite") != std::string::npos)
            m_kind = dkSQLite;
        ConnectionLost = false;
        Connected = true;
        if (m_kind == dkMySql)
            LearnServer();
        return true;
    } catch (...) {
        return false;
    }
}

void TODBC::LearnServer() noexcept
{
    const bool report = ReportErrors, bind = BindColumns;
    ReportErrors = false;  // a server without replication has no such variable
    BindColumns = true;    // the one mode whose columns can be read
    {
        TODBCStatement s(*this);
        m_mariaDb = s.ExecSQL("SELECT VERSION() AS version") &&
                    config::LowerCase(s.AsString("version")).find("mariadb") != std::string::npos;
        m_clusterNode = m_mariaDb && s.ExecSQL("SELECT @@wsrep_on AS wsrep_on") && s.AsInteger("wsrep_on") == 1;
    }
    ReportErrors = report;
    BindColumns = bind;
}

void TODBC::Disconnect() noexcept
{
    for (TODBCStatement* s : m_statements)
        if (s)
            s->ReleaseHandle();
    m_statements.clear();
    for (SQLHSTMT h : m_freeHandles)
        SQLFreeHandle(SQL_HANDLE_STMT, h);
    m_freeHandles.clear();
    if (Connected && m_dbc) {
        try {
            SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_COMMIT);
            ConnReport(SQLDisconnect(m_dbc));
            ConnReport(SQLFreeHandle(SQL_HANDLE_DBC, m_dbc));
        } catch (const std::exception& e) {
            if (MessageLog)
                MessageLog->Log(std::string("EXCEPTION: DisconnectFromDataSource ") + e.what(), config::TLevel::Error);
        }
    }
    m_dbc = nullptr;
    m_concurrency.reset();
    for (auto& a : m_cursorAttributes)
        a.reset();
    Connected = false;
    ConnectionLost = false;
    m_mariaDb = false;
    m_clusterNode = false;
}

bool TODBC::AnsweredRecently() const noexcept
{
    return std::chrono::steady_clock::now() - m_lastAnswer < kTrustedFor;
}

bool TODBC::IsDead() noexcept
{
    if (ConnectionLost)
        return true;
    if (!m_dbc)
        return false;
    SQLUINTEGER dead = 0;
    const SQLRETURN rc = SQLGetConnectAttr(m_dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    ConnReport(rc);
    return Ok(rc) && dead == SQL_CD_TRUE;
}

void TODBC::ConnReport(TOdbcReturn rc) noexcept
{
    ReportDiagnostics(SQL_HANDLE_DBC, m_dbc, rc);
}

void TODBC::NoteFailure(TOdbcHandle statement) noexcept
{
    try {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR message[512] = {};
        SQLSMALLINT length = 0;
        if (!Ok(SQLGetDiagRec(SQL_HANDLE_STMT, statement, 1, state, &native, message, sizeof message, &length)))
            return;
        const std::string st = reinterpret_cast<char*>(state);
        const std::string text = reinterpret_cast<char*>(message);
        LastDiagnostic = text + ". State:  " + st;
        LastState = st;
        LastNative = native;
        if (!ConnectionLost)
            ConnectionLost = IsLostConnection(st, text);
        if (IsConflict(st, native))
            ConflictSeen = true;
    } catch (...) {
    }
}

void TODBC::ReportDiagnostics(short handleType, TOdbcHandle handle, TOdbcReturn rc) noexcept
{
    if (Ok(rc) || !ReportErrors || !handle)
        return;
    try {
        for (SQLSMALLINT record = 1;; ++record) {
            SQLCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLCHAR message[512] = {};
            SQLSMALLINT length = 0;
            // Read only while records come back; some drivers misbehave past the last one.
            if (!Ok(SQLGetDiagRec(handleType, handle, record, state, &native, message, sizeof message, &length)))
                break;
            std::string text = reinterpret_cast<char*>(message);
            const std::string st = reinterpret_cast<char*>(state);
            if (st == "HY000") {
                SQLCHAR again[512] = {};
                SQLSMALLINT len2 = 0;
                if (Ok(SQLGetDiagField(handleType, handle, record, SQL_DIAG_MESSAGE_TEXT, again, sizeof again,
                                       &len2)))
                    text = reinterpret_cast<char*>(again);
            }
            if (!ConnectionLost)
                ConnectionLost = IsLostConnection(st, text);
            if (IsConflict(st, native))
                ConflictSeen = true;
            if (record == 1) {
                LastDiagnostic = text + ". State:  " + st;
                LastState = st;
                LastNative = native;
            }
            if (st == "IM001")
                break;
            if (MessageLog)
                MessageLog->Log(text + ". State:  " + st, config::TLevel::Error);
        }
    } catch (...) {
    }
}

} // namespace db
