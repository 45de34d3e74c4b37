// The whole road of a card: from the last byte of the reader's card reply to
// the first byte of the gate-open frame, through the real line (a
// pseudo-terminal, the simulator pacing at 9600 baud), the dispatcher, the
// decision and the command queue, on SQLite and MariaDB. Printed beside the
// floor measured in the same run: the mean wait for the dispatcher's next
// pass, the raw round trips of the decision's statements, and one poll
// transaction at the line's baud. Last, the same road with the status
// listener serving 50 clients (on these cores, and standing in for clients
// elsewhere), against the road with it off. First of all, on the test server
// with TLS, the road over verified TLS against the same road in clear.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "config/MessLog.hpp"
#include "line/Card.hpp"
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
    const std::string loopTable = loop::LoopTable(odbc);
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

// All: paced and prompt, then with the status listener's clients; Prompt: the
// prompt road alone.
enum class TPhases { All, Prompt };

// The road of a loop controller on the prepared database odbc, which the
// registry file of home points at.
bool MeasureRoad(db::TODBC& odbc, const std::string& home, int cards, TRoad& road, TPhases phases)
{
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
            if (!prompt && phases == TPhases::Prompt)
                continue;
            lane->Line()->PromptDispatch = prompt;
            auto& figures = prompt ? road.LatencyMs : road.PacedLatencyMs;
            for (int i = 0; ok && i < cards; ++i) {
                ok = PresentAndWait(sim, latency);
                figures.push_back(latency);
            }
        }
        service::TStatusServer listener;
        ok = ok && (phases == TPhases::Prompt || listener.Start("127.0.0.1:" + std::to_string(kStatusPort), log));
        for (const auto where : {bench::TClientsAt::Here, bench::TClientsAt::Elsewhere}) {
            if (phases == TPhases::Prompt)
                break;
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

bool Measure(const bench::TSite& site, const std::string& home, int cards, TRoad& road)
{
    db::TODBC odbc;
    if (!bench::Prepare(site, odbc) || !Seed(odbc, site))
        return false;
    bench::WriteRegistry(home + "/registry.reg", site);
    return MeasureRoad(odbc, home, cards, road, TPhases::All);
}

// The MariaDB site on the test server with TLS, in clear (no TLS options) or
// over TLS with the certificate and host name verified: one server for both,
// so that TLS is all that differs.
bench::TSite TlsServerSite(const std::string& tlsOptions)
{
    bench::TSite site = bench::Sites("velixbenchroadtls")[1];
    const std::string port = bench::Env("VELIX_MARIADB_TLS_PORT");
    site.Options = "SERVER=127.0.0.1;PORT=" + port + ";database=" + site.Database + tlsOptions;
    site.RegistryOptions = "SERVER=%h;PORT=" + port + ";database=%d" + tlsOptions;
    return site;
}

bool MeasureOnTlsServer(const bench::TSite& site, const char* databaseTls, const std::string& home, int cards,
                        TRoad& road)
{
    db::TODBC admin;
    if (!admin.Connect("", site.User, site.Pass, site.Driver, "",
                       "SERVER=127.0.0.1;PORT=" + bench::Env("VELIX_MARIADB_TLS_PORT"), false))
        return false;
    bench::Run(admin, "DROP DATABASE IF EXISTS " + site.Database);
    bench::Run(admin, "CREATE DATABASE " + site.Database);
    db::TODBC odbc;
    odbc.BindColumns = true;
    if (!odbc.Connect("", site.User, site.Pass, site.Driver, site.Database, site.Options, false) ||
        !bench::RunScript(odbc, site.Schema) || !Seed(odbc, site))
        return false;
    const std::string registry = home + "/registry.reg";
    bench::WriteRegistry(registry, site);
    std::FILE* out = std::fopen(registry.c_str(), "a");  // still in the product key
    if (!out)
        return false;
    std::fprintf(out, "\"DatabaseTLS\"=\"%s\"\r\n", databaseTls);
    std::fclose(out);
    return MeasureRoad(odbc, home, cards, road, TPhases::Prompt);
}

// Clear and TLS in turn, twice, half the cards each time, so that a drift of
// the shared machine falls on both; the ratios of the medians are TLS's cost.
bool CompareTls(const std::string& home, int cards)
{
    const bench::TSite clear = TlsServerSite("");
    const bench::TSite tls = TlsServerSite(";SSLCA=" + bench::Env("VELIX_TLS_DIR") + "/ca.pem");
    std::vector<double> latency[2], raw[2];
    std::size_t statements = 0;
    for (int round = 0; round < 2; ++round) {
        for (int variant = 0; variant < 2; ++variant) {
            TRoad road;
            if (!MeasureOnTlsServer(variant == 0 ? clear : tls, variant == 0 ? "off" : "verified", home,
                                    std::max(1, cards / 2), road))
                return false;
            latency[variant].insert(latency[variant].end(), road.LatencyMs.begin(), road.LatencyMs.end());
            raw[variant].push_back(road.RawMs);
            statements = road.Statements;
        }
    }
    const double clearMedian = bench::Percentile(latency[0], 0.5), clearRaw = bench::Percentile(raw[0], 0.5);
    const char* names[] = {"MariaDB with TLS, prompt, in clear", "MariaDB with TLS, prompt, verified TLS"};
    for (int variant = 0; variant < 2; ++variant) {
        const double median = bench::Percentile(latency[variant], 0.5), rawMs = bench::Percentile(raw[variant], 0.5);
        std::printf("%-44s %6zu %8.2f %8.2f %8s %8.3f %7.3f (median against clear; raw db ratio %.3f)\n",
                    names[variant], statements, median, bench::Percentile(latency[variant], 0.99), "", rawMs, median / clearMedian,
                    rawMs / clearRaw);
    }
    return true;
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
    // First: the status listener's phases below load these cores most.
    if (bench::Env("VELIX_MARIADB_TLS_PORT").empty() || bench::Env("VELIX_TLS_DIR").empty()) {
        std::fprintf(stderr, "VELIX_MARIADB_TLS_PORT and VELIX_TLS_DIR must be set for the TLS road: run scripts/bench\n");
        return 2;
    }
    if (!CompareTls(home, cards)) {
        std::fprintf(stderr, "the card road could not be measured on the TLS server; see %s/road.log\n", home.c_str());
        return 1;
    }
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
