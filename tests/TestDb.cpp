#include "TestDb.hpp"

#include "config/MessLog.hpp"
#include "db/SiteColumns.hpp"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace testing_support {
namespace {

// The client port of the family's server: the private MariaDB, or node 1 of the cluster.
std::string ServerPort(TDbFamily family)
{
    if (family == TDbFamily::MariaDBTls)
        return Env("VELIX_MARIADB_TLS_PORT");
    if (family != TDbFamily::Galera)
        return Env("VELIX_MARIADB_PORT");
    const std::string ports = Env("VELIX_GALERA_PORTS");
    return ports.substr(0, ports.find(','));
}

TDbParams MariaDbParams(const std::string& database, const std::string& port)
{
    TDbParams p;
    p.Driver = "MariaDB";
    p.Database = database;
    p.User = "svcuser";
    p.Password = "pelmox";
    p.Options = "SERVER=127.0.0.1;PORT=" + port + ";database=" + database;
    return p;
}

const char* ColumnType(db::TColumnType type, TDbFamily family)
{
    const bool sqlite = family == TDbFamily::SQLite;
    switch (type) {
    case db::TColumnType::Integer: return sqlite ? "integer" : "int";
    case db::TColumnType::BigInteger: return "bigint";
    case db::TColumnType::Flag: return sqlite ? "tinyint" : "tinyint(1)";
    case db::TColumnType::Float: return "double";
    case db::TColumnType::Text: return "varchar(80)";
    case db::TColumnType::Date: return "date";
    case db::TColumnType::Time: return "time";
    case db::TColumnType::DateTime: return "datetime";
    }
    return "";
}

} // namespace

const char* ToText(TDbFamily family)
{
    switch (family) {
    case TDbFamily::MariaDB: return "MariaDB";
    case TDbFamily::SQLite: return "SQLite";
    case TDbFamily::Galera: return "Galera";
    case TDbFamily::MariaDBTls: return "MariaDBTls";
    }
    return "";
}

void TSiteTest::SetUp()
{
    m_db = std::make_unique<TTestDatabase>(GetParam());
    ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
    m_log = std::make_unique<config::TMessLog>(LogFile(), config::TMessLog::TOptions{.NoHeader = true}, "");
    m_odbc.MessageLog = m_log.get();
    m_odbc.ReportErrors = true;
    ASSERT_TRUE(m_db->Connect(m_odbc)) << ReadFile(LogFile());
    ASSERT_TRUE(m_db->CreateSchema(m_odbc)) << ReadFile(LogFile());
}

std::vector<std::string> TSiteTest::LogLines()
{
    m_log->Log("");
    std::vector<std::string> out;
    for (const auto& l : SplitLines(ReadFile(LogFile())))
        out.push_back(l.size() > 24 ? l.substr(24) : l);
    return out;
}

std::string TSiteTest::Value(const std::string& sql)
{
    db::TODBCStatement s(m_odbc);
    return s.Exec(sql) && !s.Columns().empty() ? s.AsString(s.Columns()[0].Name) : "(no row)";
}

std::string FamilyName(const ::testing::TestParamInfo<TDbFamily>& info)
{
    return ToText(info.param);
}

std::string SourceDir()
{
    return VELIX_SOURCE_DIR;
}

std::string BuildDir()
{
    return VELIX_BUILD_DIR;
}

TTestDatabase::TTestDatabase(TDbFamily family) : m_family(family)
{
    if (Env("ODBCSYSINI").empty()) {
        m_problem = "ODBCSYSINI is not set: start the test servers with scripts/test-servers start build/testenv "
                    "and export what it prints (scripts/test does both)";
        return;
    }
    if (family == TDbFamily::SQLite) {
        m_dir = std::make_unique<TTempDir>();
        m_params.Driver = "SQLite3";
        m_params.Database = *m_dir / "site.db";
        m_params.Options = "LoadExt=" + BuildDir() + "/libvelixsqlite.so;JournalMode=WAL;SyncPragma=NORMAL";
        m_ready = true;
        return;
    }
    if (family == TDbFamily::Galera && Env("VELIX_GALERA_PORTS").empty()) {
        m_problem = "VELIX_GALERA_PORTS is not set: the test cluster is not running "
                    "(scripts/test-servers galera-start build/testenv)";
        return;
    }
    if (family == TDbFamily::MariaDBTls && Env("VELIX_MARIADB_TLS_PORT").empty()) {
        m_problem = "VELIX_MARIADB_TLS_PORT is not set: the MariaDB server with TLS is not running "
                    "(scripts/test-servers start build/testenv)";
        return;
    }
    if (Env("VELIX_MARIADB_PORT").empty()) {
        m_problem = "VELIX_MARIADB_PORT is not set: the private MariaDB server is not running "
                    "(scripts/test-servers start build/testenv)";
        return;
    }
    const std::string port = ServerPort(family);
    static std::atomic<int> counter{0};
    const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    db::TODBC admin;
    admin.BindColumns = true;
    if (!admin.Connect("", "svcuser", "pelmox", "MariaDB", "",
                       "SERVER=127.0.0.1;PORT=" + port, false)) {
        m_problem = "cannot reach the MariaDB server on 127.0.0.1:" + port;
        return;
    }
    db::TODBCStatement s(admin);
    // A database of this name is what a run that was killed left behind.
    s.ExecSQL("DROP DATABASE IF EXISTS " + name);
    if (!s.ExecSQL("CREATE DATABASE " + name)) {
        m_problem = "CREATE DATABASE " + name + " failed";
        return;
    }
    m_params = MariaDbParams(name, port);
    if (family == TDbFamily::MariaDBTls) {
        // A user of its own, so that the server's record of sessions tells this test's apart.
        s.ExecSQL("DROP USER IF EXISTS '" + name + "'@'127.0.0.1'");
        if (!s.ExecSQL("CREATE USER '" + name + "'@'127.0.0.1' IDENTIFIED BY 'pelmox'") ||
            !s.ExecSQL("GRANT ALL ON " + name + ".* TO '" + name + "'@'127.0.0.1'")) {
            m_problem = "cannot make the user " + name + " on 127.0.0.1:" + port;
            return;
        }
        m_params.User = name;
    }
    m_ready = true;
}

TTestDatabase::~TTestDatabase()
{
    if (m_family == TDbFamily::SQLite || !m_ready)
        return;
    db::TODBC admin;
    if (admin.Connect("", "svcuser", "pelmox", "MariaDB", "", "SERVER=127.0.0.1;PORT=" + ServerPort(m_family),
                      false)) {
        db::TODBCStatement s(admin);
        s.ExecSQL("DROP DATABASE IF EXISTS " + m_params.Database);
        if (m_family == TDbFamily::MariaDBTls)
            s.ExecSQL("DROP USER IF EXISTS '" + m_params.User + "'@'127.0.0.1'");
    }
}

config::TConnParams TTestDatabase::ConnParams() const
{
    // No registry file: the defaults, then this database's values.
    config::TConnParams p("/nonexistent/velix-test.reg", config::TConnParams::TAccess::ReadOnly);
    p.ODBCDriver = m_params.Driver;
    p.Database = m_params.Database;
    p.User = m_params.User;
    p.Pass = m_params.Password;
    p.ODBCOptions = m_params.Options;
    p.Host = m_params.Host;
    return p;
}

bool TTestDatabase::Connect(db::TODBC& odbc) const
{
    if (!m_ready)
        return false;
    odbc.BindColumns = true;
    return odbc.Connect("", m_params.User, m_params.Password, m_params.Driver, m_params.Database, m_params.Options,
                        false);
}

bool TTestDatabase::Run(db::TODBC& odbc, const std::string& sql) const
{
    db::TODBCStatement s(odbc);
    return s.Exec(sql);
}

bool TTestDatabase::RunScript(db::TODBC& odbc, const std::string& path) const
{
    const std::string text = ReadFile(path);
    if (text.empty())
        return false;
    std::string statement;
    for (const auto& line : SplitLines(text)) {
        if (line.rfind("--", 0) == 0)
            continue;
        statement += line + "\n";
        const auto end = line.find_last_not_of(" \t");
        if (end != std::string::npos && line[end] == ';') {
            statement.erase(statement.find_last_of(';'));
            if (!Run(odbc, statement))
                return false;
            statement.clear();
        }
    }
    return true;
}

bool TTestDatabase::CreateSchema(db::TODBC& odbc) const
{
    return RunScript(odbc, SourceDir() + (m_family != TDbFamily::SQLite ? "/db/schema/mysql.sql"
                                                                         : "/db/schema/sqlite.sql"));
}

bool TTestDatabase::CreateListedSchema(db::TODBC& odbc) const
{
    for (const db::TSiteTable& table : db::SiteTables()) {
        if (table.MadeAtStartUp)
            continue;
        const std::string name(table.Name);
        std::string sql = "CREATE TABLE " + (name == "loop" && m_family != TDbFamily::SQLite ? "`loop`" : name) + " (";
        bool first = true;
        for (const db::TSiteColumn& c : table.Columns) {
            if (c.Use == db::TColumnUse::Optional)
                continue;
            sql += (first ? "" : ", ") + std::string(c.Name) + " " + ColumnType(c.Type, m_family) + " NULL";
            first = false;
        }
        if (!Run(odbc, sql + ")"))
            return false;
    }
    return true;
}

} // namespace testing_support
