// The whole road of a card: from the last byte of the reader's card reply to
// the first byte of the gate-open frame, through the real line (a
// pseudo-terminal, the simulator pacing at 9600 baud), the dispatcher, the
// decision and the command queue, on SQLite and MariaDB. Printed beside the
// floor measured in the same run: the mean wait for the dispatcher's next
// pass, the raw round trips of the decision's statements, and one poll
// transaction at the line's baud. Last, the same road with the status
// listener serving 50 clients (on these cores, and standing in for clients
// elsewhere), against the road with it off.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "config/MessLog.hpp"
#include "line/ProcessInfo.hpp"
#include "loop/Loop.hpp"
#include "platform/MainLoop.hpp"
#include "service/StatusServer.hpp"
#include "tools/devsim/DeviceSim.hpp"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kBaud = 9600;
constexpr double kPollTransactionMs = (5 + 1) * 10 * 1000.0 / kBaud;  // poll frame and ACK, 10 bits a byte

constexpr int kStatusPort = 39511;
constexpr int kPageClients = 50;

struct TRoad {
    std::vector<double> LatencyMs;      // the dispatcher delivering at once after a quiet spell
    std::vector<double> PacedLatencyMs; // every event waiting for the next 30 ms pass
    // Prompt, the status listener serving 50 clients meanwhile, here and elsewhere.
    std::vector<double> WatchedLatencyMs, WatchedFromAwayLatencyMs;
    double RawMs = 0;
    std::size_t Statements = 0;
};

// The gate-open frame of the last card, once it has arrived.
std::optional<tools::TReceivedFrame> GateFrame(tools::TDeviceSimulator& sim)
{
    for (const auto& f : sim.Frames())
        if (!f.Data.empty() && f.Data[0] == 'G')
            return f;
    return std::nullopt;
}

// Cards come at random moments, not in step with the dispatcher's passes.
bool PresentAndWait(tools::TDeviceSimulator& sim, double& latencyMs)
{
    static std::mt19937 random(20261209);
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 60000)(random)));
    sim.ClearFrames();
    sim.Present(1, 'C', "1001");
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    while (TClock::now() < deadline) {
        if (const auto g = GateFrame(sim)) {
            const auto sent = sim.RepliesSent();
            if (sent.empty())
                return false;
            latencyMs = std::chrono::duration<double, std::milli>(g->FirstByte - sent.front().At).count();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

bool Seed(db::TODBC& odbc, const bench::TSite& site)
{
    const std::string loopTable = loop::LoopTable(site.MySql ? db::dkMySql : db::dkCodebase);
    for (const std::string& sql : {
             "INSERT INTO " + loopTable + " (id, name, port, enabled) VALUES (1, 'bench', 1, 1)",
             std::string("INSERT INTO settings (reset_dadid) VALUES (0)"),
             std::string("INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) "
                         "VALUES (1, 1, 1, 'Entry', 1, 3)"),
             std::string("INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) "
                         "VALUES (1, 1, 1, 1)"),
             std::string("INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, "
                         "day_7, day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, "
                         "'00:00:00', '00:00:00')"),
             std::string("INSERT INTO a_l_range_device VALUES (1, 1)"),
             std::string("INSERT INTO card (number, type_id, first_name) VALUES (1001, 1, 'Ann')"),
             std::string("INSERT INTO messages (id, accepted) VALUES (1, 'Welcome %f')"),
         })
        if (!bench::Run(odbc, sql))
            return false;
    return true;
}

bool Measure(const bench::TSite& site, const std::string& home, int cards, TRoad& road)
{
    db::TODBC odbc;
    if (!bench::Prepare(site, odbc) || !Seed(odbc, site))
        return false;
    bench::WriteRegistry(home + "/registry.reg", site);
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return false;
    termios tio{};
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    std::filesystem::remove(home + "/ports/COM1");
    std::filesystem::create_symlink(name, home + "/ports/COM1");

    bool ok = true;
    std::vector<std::string> statements;
    {
        config::TMessLog log(home + "/road.log", {.NoHeader = true}, "");
        tools::TDeviceSimulator sim(master, kBaud, {1});
        platform::TMainLoop mainLoop;
        std::thread mainThread([&] { mainLoop.Run(); });
        std::unique_ptr<loop::TLoop> lane;
        mainLoop.Invoke([&] { lane = std::make_unique<loop::TLoop>(log, 1); });
        double latency = 0;
        ok = lane->Line() && lane->Line()->IsOpen();
        // Past first contact, then the decision's statements of one card.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        lane->Invoke([&] { lane->Database().OnExec = [&](const std::string& sql) { statements.push_back(sql); }; });
        ok = ok && PresentAndWait(sim, latency);
        lane->Invoke([&] { lane->Database().OnExec = nullptr; });
        road.Statements = statements.size();
        for (const bool prompt : {false, true}) {
            lane->Line()->PromptDispatch = prompt;
            auto& figures = prompt ? road.LatencyMs : road.PacedLatencyMs;
            for (int i = 0; ok && i < cards; ++i) {
                ok = PresentAndWait(sim, latency);
                figures.push_back(latency);
            }
        }
        service::TStatusServer listener;
        ok = ok && listener.Start("127.0.0.1:" + std::to_string(kStatusPort), log);
        for (const auto where : {bench::TClientsAt::Here, bench::TClientsAt::Elsewhere}) {
            const bench::TPageLoad load(kStatusPort, kPageClients, where);
            auto& figures = where == bench::TClientsAt::Here ? road.WatchedLatencyMs : road.WatchedFromAwayLatencyMs;
            for (int i = 0; ok && i < cards; ++i) {
                ok = PresentAndWait(sim, latency);
                figures.push_back(latency);
            }
        }
        mainLoop.Invoke([&] { lane.reset(); });
        mainLoop.Quit();
        mainThread.join();
    }
    ::close(master);
    ::close(slave);

    std::vector<double> raw;
    for (int i = 0; ok && i < cards; ++i) {
        const auto t0 = TClock::now();
        for (const auto& sql : statements)
            bench::RawStatement(odbc, sql);
        raw.push_back(std::chrono::duration<double, std::milli>(TClock::now() - t0).count());
    }
    road.RawMs = bench::Percentile(raw, 0.5);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    const int cards = argc > 1 ? std::atoi(argv[1]) : 300;
    if (bench::Env("ODBCSYSINI").empty() || bench::Env("VELIX_MARIADB_PORT").empty()) {
        std::fprintf(stderr, "ODBCSYSINI and VELIX_MARIADB_PORT must be set: run scripts/bench\n");
        return 2;
    }
    const std::string dir = bench::Env("VELIX_BENCH_DIR").empty() ? "/tmp" : bench::Env("VELIX_BENCH_DIR");
    const std::string home = dir + "/benchroad-home";
    std::filesystem::create_directories(home + "/ports");
    ::setenv("VELIXCARD_HOME", home.c_str(), 1);
    ::setenv("VELIXCARD_REGISTRY", (home + "/registry.reg").c_str(), 1);
    const double dispatchWaitMs =
        std::chrono::duration<double, std::milli>(line::TProcessInfo::kPassInterval).count() / 2;

    std::printf("%-44s %6s %8s %8s %8s %8s %7s %s\n", "card road, reply to gate frame (ms)", "stmts", "median", "p99",
                "floor", "raw db", "ratio", "target");
    for (const auto& site : bench::Sites("velixbenchroad")) {
        TRoad road;
        if (!Measure(site, home, cards, road)) {
            std::fprintf(stderr, "the card road could not be measured on %s; see %s/road.log\n", site.Name,
                         home.c_str());
            return 1;
        }
        // Paced: the mean wait for the next pass, the statements, and the
        // transaction in progress. Prompt: the acknowledgement and the next poll
        // go first, or the statements if they take longer.
        const double pacedFloor = dispatchWaitMs + road.RawMs + kPollTransactionMs;
        const double promptFloor = std::max(2 * kPollTransactionMs, road.RawMs);
        auto row = [&](const char* dispatcher, const std::vector<double>& latency, double floor) {
            const double median = bench::Percentile(latency, 0.5);
            std::printf("%-44s %6zu %8.2f %8.2f %8.2f %8.3f %7.3f <= 1.1 (median)\n",
                        (std::string(site.Name) + ", " + dispatcher).c_str(), road.Statements, median,
                        bench::Percentile(latency, 0.99), floor, road.RawMs, median / floor);
        };
        row("dispatcher paced at 30 ms", road.PacedLatencyMs, pacedFloor);
        row("dispatcher prompt after quiet", road.LatencyMs, promptFloor);
        auto watchedRow = [&](const char* clients, const std::vector<double>& latency) {
            const double median = bench::Percentile(latency, 0.5);
            std::printf("%-44s %6zu %8.2f %8.2f %8s %8s %7.3f (median against the listener off)\n",
                        (std::string(site.Name) + ", prompt, status page of " + clients).c_str(), road.Statements,
                        median, bench::Percentile(latency, 0.99), "", "", median / bench::Percentile(road.LatencyMs, 0.5));
        };
        watchedRow("50 clients", road.WatchedLatencyMs);
        watchedRow("50 elsewhere", road.WatchedFromAwayLatencyMs);
    }
    return 0;
}
