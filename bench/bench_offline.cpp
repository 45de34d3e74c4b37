// Offline operation: a card decided against the local copy (and journalled)
// against the same decision online, side by side, on SQLite and MariaDB; the
// replay rate into the site database; the copy made afresh for 10,000 and
// 100,000 cards; and for 1,000,000 cards from MariaDB the refresh by ranges
// with 0, 1,000 and 100,000 cards changed beside the copy made afresh: time,
// rows and bytes the site sent (its Bytes_sent for the refresh's session) and
// the site server's CPU time. Prints figures.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "access/CardCheck.hpp"
#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/OfflineCopyRows.hpp"
#include "db/Sql.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kDecisions = 300;
constexpr int kReplayEntries = 2000;

double Ms(TClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

config::TConnParams ParamsOf(const bench::TSite& site)
{
    config::TConnParams p("/nonexistent/velix-bench.reg", config::TConnParams::TAccess::ReadOnly);
    p.ODBCDriver = site.Driver;
    p.Database = site.Database;
    p.User = site.User;
    p.Pass = site.Pass;
    p.ODBCOptions = site.Options;
    return p;
}

// Median milliseconds of a decision on this binding; journal, when given,
// takes each decision's writes as the offline road does.
double DecisionMs(config::TMessLog& log, db::TODBC& odbc, db::TJournal* journal)
{
    std::vector<double> times;
    std::vector<std::string> writes;
    if (journal)
        odbc.OnExec = [&](const std::string& sql) {
            if (db::IsWriteStatement(sql))
                writes.push_back(sql);
        };
    for (int i = 0; i < kDecisions; ++i) {
        const auto start = TClock::now();
        cardaccess::TCardOutputs out;
        cardaccess::CardTransaction(false, log, odbc, false, "", false, 1 + i % 1000, 1, 1, out);
        if (journal) {
            journal->Append("bench", platform::NowDateTime(), writes);
            writes.clear();
        }
        times.push_back(Ms(TClock::now() - start));
    }
    odbc.OnExec = nullptr;
    return bench::Percentile(times, 0.5);
}

// The site server's CPU time so far, user and system, from /proc (the test
// server runs on this computer).
double ServerCpuSeconds(db::TODBC& odbc)
{
    db::TODBCStatement s(odbc);
    if (!s.ExecSQL("SELECT @@pid_file AS f"))
        return 0;
    std::ifstream pidFile(s.AsString("f"));
    int pid = 0;
    pidFile >> pid;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)  // utime, stime
            ticks += std::stod(field);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double BytesSent(db::TODBC& odbc)
{
    db::offline::TRawRows rows(odbc);
    return rows.Open("SHOW SESSION STATUS LIKE 'Bytes_sent'") && rows.Next() ? std::stod(std::string(rows.Text(1))) : 0;
}

struct TRefreshFigures {
    double Seconds = 0, Megabytes = 0, ServerCpu = 0;
    long long Rows = 0;
};

// One refresh, with what the site did for it; false when it failed.
bool Measure(db::TOfflineCopy& copy, db::TODBC& odbc, db::TOfflineCopy::TRefresh how, TRefreshFigures& f)
{
    const double bytesBefore = BytesSent(odbc);
    const double statusCost = BytesSent(odbc) - bytesBefore;  // what asking costs
    const double cpuBefore = ServerCpuSeconds(odbc);
    const auto start = TClock::now();
    if (!copy.Refresh(odbc, how))
        return false;
    f.Seconds = Ms(TClock::now() - start) / 1000;
    f.ServerCpu = ServerCpuSeconds(odbc) - cpuBefore;
    f.Megabytes = (BytesSent(odbc) - bytesBefore - 2 * statusCost) / 1e6;
    f.Rows = copy.RowsRead();
    return true;
}

// Cards changed at random places: their lot count moved on.
bool ChangeCards(db::TODBC& odbc, int cards, int changed)
{
    if (changed == 0)
        return true;
    std::mt19937 random(static_cast<unsigned>(changed));
    std::uniform_int_distribution<int> card(1, cards);
    std::set<int> distinct;
    while (static_cast<int>(distinct.size()) < changed)
        distinct.insert(card(random));
    const std::vector<int> numbers(distinct.begin(), distinct.end());
    for (std::size_t at = 0; at < numbers.size(); at += 5000) {
        std::string list;
        for (std::size_t i = at; i < std::min(at + 5000, numbers.size()); ++i)
            list += (list.empty() ? "" : ",") + std::to_string(numbers[i]);
        if (!bench::Run(odbc, "UPDATE card SET in_lot = in_lot + 1 WHERE number IN (" + list + ")"))
            return false;
    }
    return true;
}

bool RefreshByRanges(const std::string& work, config::TMessLog& log)
{
    constexpr int kCards = 1000000;
    bench::TSite site = bench::Sites("velix_offline")[1];
    // Filling and reading a million rows outlasts the 5 s read time-out on a busy machine.
    site.Options += ";READ_TIMEOUT=600";
    db::TODBC odbc;
    if (!bench::Prepare(site, odbc) || !bench::FillCards(site, odbc, kCards))
        return false;
    db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, work + "/copy-ranges.db", "", log);
    std::printf("refresh of 1,000,000 cards from MariaDB   seconds   rows read   MB sent   site CPU s\n");
    TRefreshFigures f;
    if (!Measure(copy, odbc, db::TOfflineCopy::TRefresh::Rebuild, f))
        return false;
    std::printf("  made afresh (the full refresh)        %9.2f  %10lld  %8.1f  %10.2f\n", f.Seconds, f.Rows, f.Megabytes,
                f.ServerCpu);
    for (const int changed : {0, 1000, 100000}) {
        if (!ChangeCards(odbc, kCards, changed) || !Measure(copy, odbc, db::TOfflineCopy::TRefresh::ByRanges, f))
            return false;
        std::printf("  by ranges, %7d cards changed      %9.2f  %10lld  %8.1f  %10.2f\n", changed, f.Seconds, f.Rows,
                    f.Megabytes, f.ServerCpu);
    }
    std::printf("  targets: 1,000 changed in at most 2 s reading at most 5 MB; none changed in at most 1.5 s\n");
    std::printf("  (the log says how each refresh went: %s)\n", (work + "/bench.log").c_str());
    return true;
}

} // namespace

int main()
{
    const std::string dir = bench::Env("VELIX_BENCH_DIR").empty() ? "/tmp" : bench::Env("VELIX_BENCH_DIR");
    const std::string work = dir + "/bench-offline";
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    config::TMessLog log(work + "/bench.log", config::TMessLog::TOptions{.NoHeader = true}, "");

    std::printf("offline decision, median of %d     online ms  offline ms (copy + synced journal)\n", kDecisions);
    for (const bench::TSite& site : bench::Sites("velix_offline")) {
        db::TODBC odbc;
        if (!bench::Prepare(site, odbc) || !bench::FillCards(site, odbc, 1000))
            return 1;
        db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, work + "/copy-" + site.Name + ".db", "", log);
        if (!copy.Refresh(odbc))
            return 1;
        db::TODBC local;
        db::TJournal journal(work + "/journal-" + site.Name + ".db", 1000000, log);
        if (!db::ConnectLocalFile(local, copy.Path(), db::TLocalFile::Copy))
            return 1;
        const double online = DecisionMs(log, odbc, nullptr);
        const double offline = DecisionMs(log, local, &journal);
        std::printf("  %-34s %9.2f  %10.2f\n", site.Name, online, offline);

        if (!site.MySql)
            continue;
        // The replay: entries of two statements each, as a decision leaves them.
        db::TJournal replayed(work + "/replay.db", 1000000, log);
        for (int i = 0; i < kReplayEntries; ++i)
            replayed.Append("bench", platform::NowDateTime(),
                            {"UPDATE card SET in_lot = 1 WHERE number = " + std::to_string(1 + i % 1000),
                             "INSERT INTO trans (cardno, dat_e, error_desc) VALUES (" + std::to_string(i) + ", " +
                                 db::DateTimeEscape(platform::NowDateTime()) + ", 'Accepted')"});
        db::TJournalReplay replay(replayed, ParamsOf(site), log);
        const auto start = TClock::now();
        replay.ReplayOnce();
        std::printf("replay into MariaDB: %d entries in %.2f s, %.0f entries/s\n", kReplayEntries,
                    Ms(TClock::now() - start) / 1000, kReplayEntries / (Ms(TClock::now() - start) / 1000));
    }

    std::printf("copy made afresh from MariaDB     cards   seconds   copy MB\n");
    for (const int cards : {10000, 100000}) {
        const bench::TSite site = bench::Sites("velix_offline")[1];
        db::TODBC odbc;
        if (!bench::Prepare(site, odbc) || !bench::FillCards(site, odbc, cards))
            return 1;
        db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, work + "/copy-size.db", "", log);
        const auto start = TClock::now();
        if (!copy.Refresh(odbc, db::TOfflineCopy::TRefresh::Rebuild))
            return 1;
        std::printf("                             %9d  %8.2f  %8.1f\n", cards, Ms(TClock::now() - start) / 1000,
                    static_cast<double>(std::filesystem::file_size(copy.Path())) / (1 << 20));
    }
    return RefreshByRanges(work, log) ? 0 : 1;
}

