// Offline operation: a card decided against the local copy (and journalled)
// against the same decision online, side by side, on SQLite and MariaDB; the
// replay rate into the site database; the refresh time and copy size for
// 10,000, 100,000 and 1,000,000 cards (from MariaDB). Prints figures.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "access/CardCheck.hpp"
#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Sql.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
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

    std::printf("refresh from MariaDB        cards   seconds   copy MB\n");
    for (const int cards : {10000, 100000, 1000000}) {
        const bench::TSite site = bench::Sites("velix_offline")[1];
        db::TODBC odbc;
        if (!bench::Prepare(site, odbc) || !bench::FillCards(site, odbc, cards))
            return 1;
        db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, work + "/copy-size.db", "", log);
        const auto start = TClock::now();
        if (!copy.Refresh(odbc))
            return 1;
        std::printf("                        %9d  %8.2f  %8.1f\n", cards, Ms(TClock::now() - start) / 1000,
                    static_cast<double>(std::filesystem::file_size(copy.Path())) / (1 << 20));
    }
    return 0;
}
