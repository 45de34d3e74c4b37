// One card decision (CardTransaction) against the sum of the raw ODBC round
// trips of the same statements, measured side by side in one run, for a plain
// card and for one with group and pathway, on MariaDB and SQLite; then the
// same decision with 1,000 and with 1,000,000 cards on file; and the exit
// decision on a known barcode ticket (CheckBarcode). Prints figures.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "access/CardCheck.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "loop/Loop.hpp"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using bench::RawStatement;
using bench::Run;

// Wall and CPU time of one call, in microseconds.
struct TCost {
    double Wall = 0;
    double Cpu = 0;
};

double CpuNow()
{
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

template <typename TWork>
TCost Cost(TWork&& work)
{
    const auto wall = TClock::now();
    const double cpu = CpuNow();
    work();
    return {std::chrono::duration<double, std::micro>(TClock::now() - wall).count(), CpuNow() - cpu};
}

struct TFigure {
    TCost Decision;
    TCost Raw;
    std::size_t Statements = 0;
};

constexpr int kRepetitions = 5;

// A decision against the raw round trips of the statements it ran, side by
// side: the median of each repetition's medians. reset runs untimed before
// each of them.
template <typename TDecide, typename TReset>
TFigure SideBySide(db::TODBC& odbc, int rounds, TDecide&& decide, TReset&& reset)
{
    std::vector<std::string> statements;
    reset();
    decide();  // warm-up
    reset();
    odbc.OnExec = [&](const std::string& sql) { statements.push_back(sql); };
    decide();
    odbc.OnExec = nullptr;
    std::vector<double> wall[2], cpu[2];
    for (int rep = 0; rep < kRepetitions; ++rep) {
        std::vector<double> w[2], c[2];
        for (int r = 0; r < rounds; ++r) {
            reset();
            const TCost d = Cost(decide);
            reset();
            const TCost raw = Cost([&] {
                for (const auto& sql : statements)
                    RawStatement(odbc, sql);
            });
            w[0].push_back(d.Wall), c[0].push_back(d.Cpu), w[1].push_back(raw.Wall), c[1].push_back(raw.Cpu);
        }
        for (int k = 0; k < 2; ++k) {
            wall[k].push_back(bench::Percentile(w[k], 0.5));
            cpu[k].push_back(bench::Percentile(c[k], 0.5));
        }
    }
    return {{bench::Percentile(wall[0], 0.5), bench::Percentile(cpu[0], 0.5)},
            {bench::Percentile(wall[1], 0.5), bench::Percentile(cpu[1], 0.5)},
            statements.size()};
}

TFigure MeasureCard(db::TODBC& odbc, config::TMessLog& log, double card, int rounds)
{
    cardaccess::TCardOutputs out;
    return SideBySide(
        odbc, rounds,
        [&] {
            if (!cardaccess::IsAccepted(
                    cardaccess::CardTransaction(false, log, odbc, false, "0000", false, card, 1, 1, out)))
                std::fprintf(stderr, "warning: card %.0f was refused\n", card);
        },
        [] {});
}

// The exit decision of a loop controller on a ticket that is inside; the
// ticket is put back inside before each run.
TFigure MeasureExit(loop::TLoop& lane, const std::string& barcode, int rounds)
{
    db::TODBC& odbc = lane.Database();
    const std::string reset = "UPDATE tickinv SET status = 0 WHERE barcode = '" + barcode + "'";
    loop::TLoopEvents& events = lane.Events();
    return SideBySide(
        odbc, rounds, [&] { events.CheckBarcode(events.Site(), 2, barcode); }, [&] { RawStatement(odbc, reset); });
}

// Decisions on cards seen for the first time (every update changes its row:
// in_lot, the times, the pathway gate and the group count, then the trans
// row), with one commit per decision and with a commit per statement.
std::pair<TCost, TCost> MeasureCommits(db::TODBC& odbc, config::TMessLog& log, double firstCard, int rounds)
{
    cardaccess::TCardOutputs out;
    std::pair<TCost, TCost> result;
    double card = firstCard;
    for (const bool grouped : {true, false}) {
        odbc.OneCommitPerDecision = grouped;
        std::vector<double> wall, cpu;
        for (int r = 0; r < rounds; ++r, ++card) {
            const TCost c =
                Cost([&] { cardaccess::CardTransaction(false, log, odbc, false, "0000", false, card, 1, 1, out); });
            wall.push_back(c.Wall);
            cpu.push_back(c.Cpu);
        }
        TCost& cost = grouped ? result.first : result.second;
        cost.Wall = bench::Percentile(wall, 0.5);
        cost.Cpu = bench::Percentile(cpu, 0.5);
    }
    odbc.OneCommitPerDecision = true;
    return result;
}

// The same on a server that flushes its log at every commit, as MariaDB does
// by default (the test server does not, to spare the disk).
std::pair<TCost, TCost> MeasureDurable(db::TODBC& odbc, config::TMessLog& log, int rounds)
{
    constexpr int kFirstCard = 500001;
    Run(odbc, "INSERT INTO card (number, type_id, group_id, in_gate, first_name, trans_dt) SELECT seq + " +
                  std::to_string(kFirstCard - 1) + ", 2, 5, -1, 'D', {fn now()} FROM seq_1_to_" +
                  std::to_string(2 * rounds));
    db::TODBCStatement s(odbc);
    s.ExecSQL("SELECT @@global.innodb_flush_log_at_trx_commit AS v");
    const std::string before = s.AsString("v");
    s.ExecSQL("SET GLOBAL innodb_flush_log_at_trx_commit = 1");
    const auto figures = MeasureCommits(odbc, log, kFirstCard, rounds);
    if (!s.ExecSQL("SET GLOBAL innodb_flush_log_at_trx_commit = " + (before.empty() ? std::string("2") : before)))
        std::fprintf(stderr, "warning: innodb_flush_log_at_trx_commit was left at 1\n");
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
    if (bench::Env("ODBCSYSINI").empty() || bench::Env("VELIX_MARIADB_PORT").empty()) {
        std::fprintf(stderr, "ODBCSYSINI and VELIX_MARIADB_PORT must be set: run scripts/bench\n");
        return 2;
    }
    const std::string dir = bench::Env("VELIX_BENCH_DIR").empty() ? "/tmp" : bench::Env("VELIX_BENCH_DIR");
    config::TMessLog log(dir + "/bench_card.log", {.NoHeader = true}, "");
    // The loop controller of the exit benchmark finds its settings file and
    // registry here; it has no loop row, so it opens no port.
    const std::string home = dir + "/benchcard-home";
    std::filesystem::create_directories(home);
    ::setenv("VELIXCARD_HOME", home.c_str(), 1);
    ::setenv("VELIXCARD_REGISTRY", (home + "/registry.reg").c_str(), 1);
    std::pair<TCost, TCost> durable;
    std::printf("%-40s %5s %9s %9s %7s %9s %9s %7s %s\n", "decision (medians of 5 repetitions)", "stmts",
                "wall us", "raw us", "ratio", "cpu us", "raw cpu", "ratio", "target");
    for (const auto& site : bench::Sites("velixbenchcard")) {
        db::TODBC odbc;
        if (!bench::Prepare(site, odbc)) {
            std::fprintf(stderr, "could not prepare %s\n", site.Name);
            return 1;
        }
        for (const char* sql : {
                 "INSERT INTO settings (reset_dadid) VALUES (0)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection) VALUES (10, 1, 1, 'Entry', 1)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) VALUES (1, 1, 1, 1)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, pathway_id) "
                 "VALUES (2, 1, 1, 1, 4)",
                 "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, "
                 "day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
                 "INSERT INTO a_l_range_device VALUES (1, 10)",
                 "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (5, 2000000000, 0)",
                 "INSERT INTO pathway_ft VALUES (4, 10, 10, 100000)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (11, 1, 2, 'Exit', 2, 3)",
                 "INSERT INTO tickinv (barcode, issuerid, status) VALUES ('2000060051', 1, 0)",
             })
            if (!Run(odbc, sql))
                return 1;
        // Cards 100001..101000 of type 1; card 100500 gets group and pathway as card 900.
        const std::string fill1k =
            site.MySql ? "INSERT INTO card (number, type_id, first_name, last_name) SELECT seq + 100000, 1, "
                         "CONCAT('F', seq), CONCAT('L', seq) FROM seq_1_to_1000"
                       : "INSERT INTO card (number, type_id, first_name, last_name) WITH RECURSIVE s(x) AS (SELECT 1 "
                         "UNION ALL SELECT x + 1 FROM s WHERE x < 1000) SELECT x + 100000, 1, 'F' || x, 'L' || x FROM s";
        if (!Run(odbc, fill1k) ||
            !Run(odbc, "INSERT INTO card (number, type_id, group_id, in_gate, first_name, trans_dt) VALUES (900, 2, 5, 10, 'G', {fn now()})"))
            return 1;
        const auto plain = MeasureCard(odbc, log, 100500, rounds);
        const auto group = MeasureCard(odbc, log, 900, rounds);
        bench::WriteRegistry(home + "/registry.reg", site);
        TFigure exitPass;
        {
            loop::TLoopSettings flatRate;
            flatRate.FlatRate = true;
            loop::TLoop lane(log, 1, {.Offline = {}, .OfflineCopy = "", .Settings = flatRate});
            if (!lane.Database().Connected) {
                std::fprintf(stderr, "the loop controller could not connect to %s\n", site.Name);
                return 1;
            }
            exitPass = MeasureExit(lane, "2000060051", rounds);
        }
        const std::string fill1m =
            site.MySql ? "INSERT INTO card (number, type_id, first_name, last_name) SELECT seq + 200000, 1, "
                         "CONCAT('F', seq), CONCAT('L', seq) FROM seq_1_to_999000"
                       : "INSERT INTO card (number, type_id, first_name, last_name) WITH RECURSIVE s(x) AS (SELECT 1 "
                         "UNION ALL SELECT x + 1 FROM s WHERE x < 999000) SELECT x + 200000, 1, 'F' || x, 'L' || x "
                         "FROM s";
        if (!Run(odbc, fill1m))
            return 1;
        const auto large = MeasureCard(odbc, log, 100500, rounds);
        auto row = [&](const std::string& what, const TFigure& f) {
            std::printf("%-40s %5zu %9.1f %9.1f %7.3f %9.1f %9.1f %7.3f <= 1.1\n",
                        (std::string(site.Name) + " " + what).c_str(), f.Statements, f.Decision.Wall, f.Raw.Wall,
                        f.Decision.Wall / f.Raw.Wall, f.Decision.Cpu, f.Raw.Cpu, f.Decision.Cpu / f.Raw.Cpu);
        };
        row("plain card, 1k cards", plain);
        row("group and pathway, 1k cards", group);
        row("plain card, 1M cards", large);
        row("exit pass, known ticket", exitPass);
        std::printf("%-40s %5s %9s %9s %7.3f %29s <= 1.2\n", (std::string(site.Name) + " 1M / 1k cards").c_str(), "",
                    "", "", large.Decision.Wall / plain.Decision.Wall, "");
        if (site.MySql)
            durable = MeasureDurable(odbc, log, rounds);
    }
    std::printf("\n%-40s %9s %9s %7s %s\n", "MariaDB, durable commits, new cards", "wall us", "cpu us", "", "");
    std::printf("%-40s %9.1f %9.1f\n", "  one commit per decision", durable.first.Wall, durable.first.Cpu);
    std::printf("%-40s %9.1f %9.1f\n", "  a commit per statement", durable.second.Wall, durable.second.Cpu);
    std::printf("%-40s %9.3f %9s %7s >= 1.5\n", "  speed-up", durable.second.Wall / durable.first.Wall, "", "");
    return 0;
}
