#include "BenchSupport.hpp"

#include <httplib.h>
#include <sys/resource.h>

#include <unistd.h>

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

bool FillCards(const TSite& site, db::TODBC& odbc, int cards)
{
    for (const char* sql : {
             "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (1, 1, 1, 'Entry', 3, 3)",
             "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) VALUES (1, 1, 1, 1)",
             "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
             "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
             "INSERT INTO a_l_range_device VALUES (1, 1)",
             "INSERT INTO messages (id, accepted) VALUES (1, 'OK')",
         })
        if (!Run(odbc, sql))
            return false;
    const std::string n = std::to_string(cards);
    return Run(odbc, site.MySql ? "INSERT INTO card (number, type_id, first_name, last_name) SELECT seq, 1, "
                                  "CONCAT('F', seq), CONCAT('L', seq) FROM seq_1_to_" + n
                                : "INSERT INTO card (number, type_id, first_name, last_name) WITH RECURSIVE "
                                  "s(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < " + n +
                                      ") SELECT x, 1, 'F' || x, 'L' || x FROM s");
}

TSim StartSim(const std::string& link, const std::string& addresses)
{
    int fds[2];
    if (::pipe(fds) != 0)
        std::exit(1);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        const std::string bin = std::string(VELIX_BUILD_DIR) + "/velixcard-devsim";
        ::execl(bin.c_str(), bin.c_str(), "--link", link.c_str(), "--addr", addresses.c_str(), "--baud", "9600",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    TSim sim{pid, ::fdopen(fds[0], "r")};
    char line[256];
    if (!std::fgets(line, sizeof line, sim.Out)) {
        std::fprintf(stderr, "the simulator did not start\n");
        std::exit(1);
    }
    return sim;
}

TPageLoad::TPageLoad(int port, int clients, TClientsAt where)
{
    for (int c = 0; c < clients; ++c)
        m_clients.emplace_back([this, port, c, where] {
            if (where == TClientsAt::Elsewhere)
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kLowestPriority);
            httplib::Client client("127.0.0.1", port);
            const char* paths[] = {"/", "/status.json", "/metrics"};
            for (int i = 0; !m_stop; ++i)
                if (client.Get(paths[(c + i) % 3]))
                    ++m_requests;
        });
}

TPageLoad::~TPageLoad()
{
    m_stop = true;
    for (auto& t : m_clients)
        t.join();
}

} // namespace bench
