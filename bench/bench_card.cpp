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
#include "platform/MainLoop.hpp"

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

struct TFigure {
    double DecisionUs = 0;
    double RawUs = 0;
    std::size_t Statements = 0;
};

TFigure Measure(db::TODBC& odbc, config::TMessLog& log, double card, int address, int rounds)
{
    std::vector<std::string> statements;
    odbc.OnExec = [&](const std::string& sql) { statements.push_back(sql); };
    cardaccess::TCardOutputs out;
    cardaccess::CardTransaction(false, log, odbc, false, "0000", false, card, address, 1, out);  // warm-up
    statements.clear();
    const int result = cardaccess::CardTransaction(false, log, odbc, false, "0000", false, card, address, 1, out);
    odbc.OnExec = nullptr;
    if (!cardaccess::IsAccepted(result))
        std::fprintf(stderr, "warning: card %.0f gave result %d\n", card, result);
    const std::vector<std::string> replay = statements;
    std::vector<double> decision, raw;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = TClock::now();
        cardaccess::CardTransaction(false, log, odbc, false, "0000", false, card, address, 1, out);
        auto t1 = TClock::now();
        for (const auto& sql : replay)
            RawStatement(odbc, sql);
        auto t2 = TClock::now();
        decision.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        raw.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    return {bench::Percentile(decision, 0.5), bench::Percentile(raw, 0.5), replay.size()};
}

// The exit decision of a loop controller on a ticket that is inside, against
// the raw round trips of its statements; the ticket is put back inside,
// untimed, before each of them.
TFigure MeasureExit(loop::TLoop& lane, const std::string& barcode, int rounds)
{
    db::TODBC& odbc = *lane.Database;
    const std::string reset = "UPDATE tickinv SET status = 0 WHERE barcode = '" + barcode + "'";
    std::vector<std::string> statements;
    lane.FlatRate = true;
    lane.CheckBarcode(2, barcode);  // warm-up
    RawStatement(odbc, reset);
    odbc.OnExec = [&](const std::string& sql) { statements.push_back(sql); };
    lane.CheckBarcode(2, barcode);
    odbc.OnExec = nullptr;
    const std::vector<std::string> replay = statements;
    std::vector<double> decision, raw;
    for (int r = 0; r < rounds; ++r) {
        RawStatement(odbc, reset);
        auto t0 = TClock::now();
        lane.CheckBarcode(2, barcode);
        auto t1 = TClock::now();
        RawStatement(odbc, reset);
        auto t2 = TClock::now();
        for (const auto& sql : replay)
            RawStatement(odbc, sql);
        auto t3 = TClock::now();
        decision.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        raw.push_back(std::chrono::duration<double, std::micro>(t3 - t2).count());
    }
    return {bench::Percentile(decision, 0.5), bench::Percentile(raw, 0.5), replay.size()};
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
    platform::TMainLoop mainLoop;
    std::printf("%-44s %6s %10s %10s %7s %s\n", "decision", "stmts", "us", "raw us", "ratio", "target");
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
        const auto plain = Measure(odbc, log, 100500, 1, rounds);
        const auto group = Measure(odbc, log, 900, 1, rounds);
        bench::WriteRegistry(home + "/registry.reg", site);
        TFigure exitPass;
        {
            loop::TLoop lane(log, 1, mainLoop);
            if (!lane.Database || !lane.Database->Connected) {
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
        const auto large = Measure(odbc, log, 100500, 1, rounds);
        auto row = [&](const std::string& what, const TFigure& f) {
            std::printf("%-44s %6zu %10.1f %10.1f %7.3f <= 1.2\n", (std::string(site.Name) + " " + what).c_str(),
                        f.Statements, f.DecisionUs, f.RawUs, f.DecisionUs / f.RawUs);
        };
        row("plain card, 1k cards", plain);
        row("group and pathway, 1k cards", group);
        row("plain card, 1M cards", large);
        row("exit pass, known ticket", exitPass);
        std::printf("%-44s %6s %10s %10s %7.3f <= 1.2\n", (std::string(site.Name) + " 1M / 1k cards").c_str(), "",
                    "", "", large.DecisionUs / plain.DecisionUs);
    }
    return 0;
}
