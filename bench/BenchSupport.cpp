#include "BenchSupport.hpp"

#include <sqlext.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace bench {

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool Run(db::TODBC& odbc, const std::string& sql)
{
    db::TODBCStatement s(odbc);
    if (!s.ExecSQL(sql) && !s.Eof()) {
        std::fprintf(stderr, "failed: %s\n", sql.substr(0, 200).c_str());
        return false;
    }
    return true;
}

bool RunScript(db::TODBC& odbc, const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::istringstream lines(ss.str());
    std::string line, statement;
    while (std::getline(lines, line)) {
        if (line.rfind("--", 0) == 0)
            continue;
        statement += line + "\n";
        if (!line.empty() && line.back() == ';') {
            statement.resize(statement.size() - 2);
            if (!Run(odbc, statement))
                return false;
            statement.clear();
        }
    }
    return true;
}

void RawStatement(db::TODBC& odbc, const std::string& sql)
{
    SQLHSTMT stmt = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, odbc.ConnHandle(), &stmt);
    if (SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS))) {
        SQLSMALLINT n = 0;
        SQLNumResultCols(stmt, &n);
        char buf[512];
        SQLLEN len = 0;
        while (n > 0 && SQL_SUCCEEDED(SQLFetch(stmt)))
            for (SQLUSMALLINT i = 1; i <= n; ++i)
                SQLGetData(stmt, i, SQL_C_CHAR, buf, sizeof buf, &len);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

std::vector<TSite> Sites(const std::string& name)
{
    const std::string dir = Env("VELIX_BENCH_DIR").empty() ? "/tmp" : Env("VELIX_BENCH_DIR");
    const std::string port = Env("VELIX_MARIADB_PORT");
    const std::string sqliteOptions =
        "LoadExt=" + std::string(VELIX_BUILD_DIR) + "/libvelixsqlite.so;JournalMode=WAL;SyncPragma=NORMAL";
    return {
        {"SQLite", "SQLite3", dir + "/" + name + ".db", sqliteOptions, "", "",
         std::string(VELIX_SOURCE_DIR) + "/db/schema/sqlite.sql", sqliteOptions, false},
        {"MariaDB", "MariaDB", name, "SERVER=127.0.0.1;PORT=" + port + ";database=" + name, "svcuser", "pelmox",
         std::string(VELIX_SOURCE_DIR) + "/db/schema/mysql.sql", "SERVER=%h;PORT=" + port + ";database=%d", true},
    };
}

bool Prepare(const TSite& site, db::TODBC& odbc)
{
    if (site.MySql) {
        db::TODBC admin;
        if (!admin.Connect("", site.User, site.Pass, site.Driver, "",
                           "SERVER=127.0.0.1;PORT=" + Env("VELIX_MARIADB_PORT"), false))
            return false;
        Run(admin, "DROP DATABASE IF EXISTS " + site.Database);
        Run(admin, "CREATE DATABASE " + site.Database);
    } else {
        std::filesystem::remove(site.Database);
    }
    odbc.BindColumns = true;
    return odbc.Connect("", site.User, site.Pass, site.Driver, site.Database, site.Options, false) &&
           RunScript(odbc, site.Schema);
}

void WriteRegistry(const std::string& path, const TSite& site, bool debugLog)
{
    std::ofstream out(path, std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
        << "\"ODBCDriver\"=\"" << site.Driver << "\"\r\n\"Database\"=\"" << site.Database << "\"\r\n"
        << "\"ODBCOptions\"=\"" << site.RegistryOptions << "\"\r\n\"DebugLog\"=dword:0000000"
        << (debugLog ? 1 : 0) << "\r\n";
}

} // namespace bench
