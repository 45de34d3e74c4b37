#pragma once

#include "db/ODBC.hpp"

#include "TestSupport.hpp"

#include <memory>
#include <string>

namespace config {
class TMessLog;
}

namespace testing_support {

enum class TDbFamily { MariaDB, SQLite };
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
    // Runs a schema or fixture file, one statement per ";" at a line end.
    bool RunScript(db::TODBC& odbc, const std::string& path) const;
    // Runs the shipped schema of this family.
    bool CreateSchema(db::TODBC& odbc) const;
    // A statement that must work; returns false (and records why) otherwise.
    bool Run(db::TODBC& odbc, const std::string& sql) const;

private:
    TDbFamily m_family;
    TDbParams m_params;
    std::unique_ptr<TTempDir> m_dir;
    bool m_ready = false;
    std::string m_problem;
};

std::string SourceDir();
std::string BuildDir();

} // namespace testing_support
