// Overhead of the ODBC binding against the same statements sent through raw
// ODBC calls on the same connection, and the cost of a card lookup with a
// thousand against a million cards on file. Prints times and ratios.
//   scripts/bench      (starts the test servers and runs this)
#include "db/ODBC.hpp"

#include <sqlext.h>

#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

namespace {

struct TSite {
    const char* Name;
    std::unique_ptr<db::TODBC> Odbc;
};

std::map<std::string, TSite> gSites;

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool Run(db::TODBC& odbc, const std::string& sql)
{
    db::TODBCStatement s(odbc);
    if (!s.ExecSQL(sql)) {
        std::fprintf(stderr, "failed: %s\n", sql.c_str());
        return false;
    }
    return true;
}

std::unique_ptr<db::TODBC> Connect(const std::string& driver, const std::string& database, const std::string& options,
                                   const std::string& user, const std::string& password)
{
    auto odbc = std::make_unique<db::TODBC>();
    odbc->BindColumns = true;
    if (!odbc->Connect("", user, password, driver, database, options, false))
        return nullptr;
    return odbc;
}

// A device table of 44 columns with 16 rows, and two card tables.
bool Fill(db::TODBC& odbc, bool mysql)
{
    const char* cardDdl = mysql ? "CREATE TABLE %s (id int AUTO_INCREMENT PRIMARY KEY, number double, first_name "
                                  "varchar(40), last_name varchar(60), type_id int, KEY (number))"
                                : "CREATE TABLE %s (id integer PRIMARY KEY, number double, first_name varchar(40), "
                                  "last_name varchar(60), type_id integer)";
    Run(odbc, "DROP TABLE IF EXISTS device");
    std::string ddl = "CREATE TABLE device (id int PRIMARY KEY, loop_id int, addr_ess int, name varchar(40)";
    for (int i = 0; i < 40; ++i)
        ddl += ", c" + std::to_string(i) + (i % 3 == 0 ? " varchar(20)" : i % 3 == 1 ? " int" : " double");
    ddl += ")";
    if (!Run(odbc, ddl) || !Run(odbc, "CREATE INDEX device_key ON device (loop_id, addr_ess)"))
        return false;
    for (int a = 1; a <= 16; ++a) {
        std::string ins = "INSERT INTO device VALUES (" + std::to_string(a) + ", 1, " + std::to_string(a) +
                          ", 'Gate " + std::to_string(a) + "'";
        for (int i = 0; i < 40; ++i)
            ins += i % 3 == 0 ? ", 'text" + std::to_string(i) + "'" : ", " + std::to_string(i * 7);
        if (!Run(odbc, ins + ")"))
            return false;
    }
    for (const auto& [table, rows] : {std::pair<std::string, int>{"card_small", 1000}, {"card_large", 1000000}}) {
        Run(odbc, "DROP TABLE IF EXISTS " + table);
        char buf[512];
        std::snprintf(buf, sizeof buf, cardDdl, table.c_str());
        if (!Run(odbc, buf))
            return false;
        if (!mysql && !Run(odbc, "CREATE INDEX " + table + "_number ON " + table + " (number)"))
            return false;
        const std::string n = std::to_string(rows);
        const std::string fill =
            mysql ? "INSERT INTO " + table + " (number, first_name, last_name, type_id) SELECT seq + 100000, "
                        "CONCAT('F', seq), CONCAT('L', seq), seq % 7 FROM seq_1_to_" + n
                  : "INSERT INTO " + table + " (number, first_name, last_name, type_id) WITH RECURSIVE s(x) AS "
                        "(SELECT 1 UNION ALL SELECT x + 1 FROM s WHERE x < " + n + ") SELECT x + 100000, 'F' || x, "
                        "'L' || x, x % 7 FROM s";
        if (!Run(odbc, fill))
            return false;
    }
    return true;
}

// One row through the binding, every column read as text.
std::size_t BindingRow(db::TODBC& odbc, const std::string& sql, bool& ok)
{
    std::size_t chars = 0;
    db::TODBCStatement s(odbc);
    ok = s.Exec(sql);
    for (const auto& c : s.Columns())
        chars += s.AsString(c.Name).size();
    return chars;
}

void BindingSelect(benchmark::State& state, const std::string& site, const std::string& sql)
{
    db::TODBC& odbc = *gSites.at(site).Odbc;
    std::size_t chars = 0;
    bool ok = true;
    for (auto _ : state) {
        chars += BindingRow(odbc, sql, ok);
        if (!ok) {
            state.SkipWithError("select failed");
            return;
        }
    }
    benchmark::DoNotOptimize(chars);
}

// One raw round trip: every column of the row read as text.
std::size_t RawRow(db::TODBC& odbc, const std::string& sql)
{
    std::size_t chars = 0;
    SQLHSTMT stmt = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, odbc.ConnHandle(), &stmt);
    if (SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS))) {
        SQLSMALLINT n = 0;
        SQLNumResultCols(stmt, &n);
        if (SQL_SUCCEEDED(SQLFetch(stmt))) {
            char buf[256];
            for (SQLUSMALLINT i = 1; i <= n; ++i) {
                SQLLEN len = 0;
                if (SQL_SUCCEEDED(SQLGetData(stmt, i, SQL_C_CHAR, buf, sizeof buf, &len)) && len > 0)
                    chars += static_cast<std::size_t>(len);
            }
        }
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return chars;
}

double ThreadCpuUs()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The binding and the raw calls in turn on every iteration, so that both see
// the same machine: wall and CPU time of each as counters.
void BindingAgainstRaw(benchmark::State& state, const std::string& site, const std::string& sql)
{
    db::TODBC& odbc = *gSites.at(site).Odbc;
    std::size_t chars = 0;
    double wall[2] = {0, 0}, cpu[2] = {0, 0};
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const auto w0 = std::chrono::steady_clock::now();
            const double c0 = ThreadCpuUs();
            bool ok = true;
            chars += k == 0 ? BindingRow(odbc, sql, ok) : RawRow(odbc, sql);
            if (!ok) {
                state.SkipWithError("select failed");
                return;
            }
            cpu[k] += ThreadCpuUs() - c0;
            wall[k] += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - w0).count();
        }
    }
    benchmark::DoNotOptimize(chars);
    const auto n = static_cast<double>(state.iterations());
    state.counters["binding_us"] = wall[0] / n;
    state.counters["raw_us"] = wall[1] / n;
    state.counters["binding_cpu_us"] = cpu[0] / n;
    state.counters["raw_cpu_us"] = cpu[1] / n;
}

// Collects the median real time and counters of every benchmark and prints
// the ratios at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& r : runs)
            if (!r.error_occurred && (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")) {
                Times[r.run_name.function_name] = r.GetAdjustedRealTime();
                for (const auto& [name, counter] : r.counters)
                    Counters[r.run_name.function_name + ":" + name] = counter.value;
            }
    }
    std::map<std::string, double> Times;
    std::map<std::string, double> Counters;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (Env("ODBCSYSINI").empty() || Env("VELIX_MARIADB_PORT").empty()) {
        std::fprintf(stderr, "ODBCSYSINI and VELIX_MARIADB_PORT must be set: run scripts/bench\n");
        return 2;
    }
    const std::string port = Env("VELIX_MARIADB_PORT");
    if (auto admin = Connect("MariaDB", "", "SERVER=127.0.0.1;PORT=" + port, "svcuser", "pelmox"))
        Run(*admin, "CREATE DATABASE IF NOT EXISTS velixbench");
    gSites["MariaDB"] = {"MariaDB", Connect("MariaDB", "velixbench",
                                            "SERVER=127.0.0.1;PORT=" + port + ";database=velixbench", "svcuser",
                                            "pelmox")};
    const std::string sqliteFile = Env("VELIX_BENCH_DIR").empty() ? "/tmp/velixbench.db"
                                                                  : Env("VELIX_BENCH_DIR") + "/velixbench.db";
    std::remove(sqliteFile.c_str());
    gSites["SQLite"] = {"SQLite", Connect("SQLite3", sqliteFile,
                                          "LoadExt=" + std::string(VELIX_BUILD_DIR) +
                                              "/libvelixsqlite.so;JournalMode=WAL;SyncPragma=NORMAL",
                                          "", "")};
    for (auto& [name, site] : gSites) {
        if (!site.Odbc || !Fill(*site.Odbc, name == "MariaDB")) {
            std::fprintf(stderr, "could not prepare %s\n", name.c_str());
            return 1;
        }
    }
    const std::string device = "SELECT * FROM device WHERE loop_id = 1 and addr_ess = 7";
    for (const char* site : {"MariaDB", "SQLite"}) {
        const std::string s = site;
        benchmark::RegisterBenchmark((s + "/device_row/side_by_side").c_str(), BindingAgainstRaw, s, device);
        benchmark::RegisterBenchmark((s + "/card_1k/binding").c_str(), BindingSelect, s,
                                     "SELECT * FROM card_small WHERE number = 100500.00");
        benchmark::RegisterBenchmark((s + "/card_1M/binding").c_str(), BindingSelect, s,
                                     "SELECT * FROM card_large WHERE number = 600500.00");
    }
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n%-48s %8s %s\n", "ratio", "value", "target");
    for (const char* site : {"MariaDB", "SQLite"}) {
        const std::string s = site;
        auto& t = reporter.Times;
        auto& c = reporter.Counters;
        const std::string pair = s + "/device_row/side_by_side:";
        if (c.count(pair + "raw_us") && c[pair + "raw_us"] > 0 && c[pair + "raw_cpu_us"] > 0) {
            std::printf("%-48s %8.3f <= 1.1\n", (s + " binding / raw ODBC (44-column row), wall").c_str(),
                        c[pair + "binding_us"] / c[pair + "raw_us"]);
            std::printf("%-48s %8.3f <= 1.2\n", (s + " binding / raw ODBC (44-column row), CPU").c_str(),
                        c[pair + "binding_cpu_us"] / c[pair + "raw_cpu_us"]);
        }
        if (t.count(s + "/card_1M/binding") && t.count(s + "/card_1k/binding"))
            std::printf("%-48s %8.3f <= 1.2\n", (s + " card lookup 1M / 1k cards").c_str(),
                        t[s + "/card_1M/binding"] / t[s + "/card_1k/binding"]);
    }
    benchmark::Shutdown();
    return 0;
}
