#pragma once

#include "db/ODBC.hpp"

#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace config {
class TMessLog;
}

namespace testing_support {

// Galera: MariaDB on the three-node test cluster, through node 1. MariaDBTls:
// the test server with TLS (clear sessions taken too), reached as a user of
// the test's own who may use only its database.
enum class TDbFamily { MariaDB, SQLite, Galera, MariaDBTls };
const char* ToText(TDbFamily family);

// Connection values the way the registry hands them to the service.
struct TDbParams {
    std::string Driver;
    std::string Database;
    std::string User;
    std::string Password;
    std::string Options;
    std::string Host = "127.0.0.1";
};

// A fresh, empty database of one family for one test: its own MariaDB
// database on the private test server, or its own SQLite file. Dropped or
// removed at destruction. Fails the test with a message naming what is
// missing when the test servers are not running.
class TTestDatabase {
public:
    explicit TTestDatabase(TDbFamily family);
    ~TTestDatabase();
    TTestDatabase(const TTestDatabase&) = delete;
    TTestDatabase& operator=(const TTestDatabase&) = delete;

    TDbFamily Family() const { return m_family; }
    const TDbParams& Params() const { return m_params; }
    bool Ready() const { return m_ready; }
    const std::string& Problem() const { return m_problem; }

    // Connects a binding the way the service does (BindColumns on).
    bool Connect(db::TODBC& odbc) const;
    // The same values as the registry would hand them to the service.
    config::TConnParams ConnParams() const;
    // Runs a schema or fixture file, one statement per ";" at a line end.
    bool RunScript(db::TODBC& odbc, const std::string& path) const;
    // Runs the shipped schema of this family.
    bool CreateSchema(db::TODBC& odbc) const;
    // The site's tables made from the service's column list alone: the
    // required columns and those start-up adds, every one nullable, no
    // defaults, no keys; not the tables start-up makes itself.
    bool CreateListedSchema(db::TODBC& odbc) const;
    // A statement that must work; returns false (and records why) otherwise.
    bool Run(db::TODBC& odbc, const std::string& sql) const;

private:
    TDbFamily m_family;
    TDbParams m_params;
    std::unique_ptr<TTempDir> m_dir;
    bool m_ready = false;
    std::string m_problem;
};

// Base of the tests that run one body on MariaDB and on SQLite: a fresh
// database with the shipped schema and a connected binding that logs into
// LogFile() (no time stamps in LogLines()).
class TSiteTest : public ::testing::TestWithParam<TDbFamily> {
protected:
    void SetUp() override;
    std::string LogFile() const { return m_dir / "site.log"; }
    std::vector<std::string> LogLines();
    bool Exec(const std::string& sql) { return m_db->Run(m_odbc, sql); }
    // The first column of the first row as text, or "(no row)".
    std::string Value(const std::string& sql);

    TTempDir m_dir;
    std::unique_ptr<TTestDatabase> m_db;
    std::unique_ptr<config::TMessLog> m_log;
    db::TODBC m_odbc;  // declared last: disconnected before the log goes
};

// Names the MariaDB and SQLite instances of a TSiteTest.
std::string FamilyName(const ::testing::TestParamInfo<TDbFamily>& info);

std::string SourceDir();
std::string BuildDir();

} // namespace testing_support
