// The scale path on the three-node test cluster: a card decision on a cluster
// node against one on a single server, side by side; decisions per second of
// two computers (two connections) on two nodes, and on one server; the
// failover time of a host-list connection when its node is killed, from the
// last decision before the kill to the first after it. Prints figures.
//   scripts/bench   (starts the test servers and the cluster)
#include "BenchSupport.hpp"

#include "access/CardCheck.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kDecisions = 300;
constexpr auto kThroughputRun = std::chrono::seconds(5);

std::vector<std::string> NodePorts()
{
    std::vector<std::string> out;
    std::stringstream list(bench::Env("VELIX_GALERA_PORTS"));
    for (std::string port; std::getline(list, port, ',');)
        out.push_back(port);
    return out;
}

bench::TSite OnPort(bench::TSite site, const std::string& port)
{
    site.Options = "SERVER=127.0.0.1;PORT=" + port + ";database=" + site.Database;
    return site;
}

bool Connect(const bench::TSite& site, db::TODBC& odbc)
{
    odbc.BindColumns = true;
    return odbc.Connect("", site.User, site.Pass, site.Driver, site.Database, site.Options, false);
}

bool Prepare(const bench::TSite& site, const std::string& port, db::TODBC& odbc)
{
    db::TODBC admin;
    if (!admin.Connect("", site.User, site.Pass, site.Driver, "", "SERVER=127.0.0.1;PORT=" + port, false))
        return false;
    bench::Run(admin, "DROP DATABASE IF EXISTS " + site.Database);
    bench::Run(admin, "CREATE DATABASE " + site.Database);
    return Connect(site, odbc) && bench::RunScript(odbc, site.Schema) && bench::FillCards(site, odbc, 1000);
}

std::vector<double> DecisionMs(config::TMessLog& log, db::TODBC& odbc)
{
    std::vector<double> times;
    for (int i = 0; i < kDecisions; ++i) {
        const auto start = TClock::now();
        cardaccess::TCardOutputs out;
        cardaccess::CardTransaction(false, log, odbc, false, "", false, 1 + i % 1000, 1, 1, out);
        times.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
    }
    return times;
}

// Each computer its own cards, or both the same one (the worst meeting).
enum class TCards { Distinct, Same };

// Two computers deciding at once, each on its own connection.
double DecisionsPerSecond(const bench::TSite& a, const bench::TSite& b, TCards cards)
{
    std::atomic<long> decided{0};
    std::atomic<bool> stop{false};
    auto computer = [&](const bench::TSite& site, int firstCard) {
        db::TODBC odbc;
        if (!Connect(site, odbc))
            return;
        config::TMessLog quiet("/tmp/bench-cluster-" + std::to_string(firstCard) + ".log",
                               config::TMessLog::TOptions{.NoHeader = true}, "");
        for (int i = 0; !stop; ++i) {
            cardaccess::TCardOutputs out;
            const int card = cards == TCards::Same ? 7 : firstCard + i % 400;
            cardaccess::CardTransaction(false, quiet, odbc, false, "", false, card, 1, 1, out);
            ++decided;
        }
    };
    std::thread ta(computer, a, 1), tb(computer, b, 501);
    std::this_thread::sleep_for(kThroughputRun);
    stop = true;
    ta.join();
    tb.join();
    return static_cast<double>(decided) / std::chrono::duration<double>(kThroughputRun).count();
}

} // namespace

int main()
{
    const auto nodes = NodePorts();
    if (nodes.size() != 3) {
        std::fprintf(stderr, "VELIX_GALERA_PORTS is not set: start the cluster (scripts/bench does)\n");
        return 1;
    }
    config::TMessLog log("/tmp/bench-cluster.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    const bench::TSite single = bench::Sites("velix_cluster")[1];
    const bench::TSite node1 = OnPort(single, nodes[0]), node2 = OnPort(single, nodes[1]);
    db::TODBC server, cluster;
    if (!Prepare(single, bench::Env("VELIX_MARIADB_PORT"), server) || !Prepare(node1, nodes[0], cluster))
        return 1;
    std::printf("card decision, %d of them        single server ms  cluster node ms\n", kDecisions);
    const auto onServer = DecisionMs(log, server);
    const auto onCluster = DecisionMs(log, cluster);
    for (const auto& [what, at] : {std::pair{"median", 0.5}, std::pair{"p99", 0.99}})
        std::printf("  plain accepted card, %-6s    %16.2f  %15.2f  (%.2fx)\n", what, bench::Percentile(onServer, at),
                    bench::Percentile(onCluster, at), bench::Percentile(onCluster, at) / bench::Percentile(onServer, at));
    std::printf("two computers, decisions/s       one server   two nodes\n");
    for (const auto& [what, cards] : {std::pair{"distinct cards", TCards::Distinct}, std::pair{"one card     ", TCards::Same}})
        std::printf("  %s                 %10.0f  %10.0f\n", what, DecisionsPerSecond(single, single, cards),
                    DecisionsPerSecond(node1, node2, cards));

    // Failover: decide on through a host list while node 1 is killed.
    db::TODBC binding;
    db::TODBCConn connection(0);
    connection.SetLog(&log);
    connection.Binding = &binding;
    connection.SetParams("", "MariaDB",
                         "SERVER=127.0.0.1:" + nodes[0] + ",127.0.0.1:" + nodes[1] + ",127.0.0.1:" + nodes[2] +
                             ";database=" + single.Database,
                         single.Pass, single.User, single.Database);
    if (!connection.EnsureConnected())
        return 1;
    std::ifstream pidFile(bench::Env("VELIX_GALERA_DIR") + "/node1.pid");
    int pid = 0;
    pidFile >> pid;
    TClock::time_point lastBefore{}, firstAfter{};
    bool killed = false;
    for (int i = 0; firstAfter == TClock::time_point{}; ++i) {
        if (i == 50) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
        if (!connection.EnsureConnected())
            continue;
        cardaccess::TCardOutputs out;
        const int result = cardaccess::CardTransaction(false, log, binding, false, "", false, 1 + i % 1000, 1, 1, out);
        const bool ok = !binding.ConnectionLost && cardaccess::IsAccepted(result);
        if (ok && !killed)
            lastBefore = TClock::now();
        if (ok && killed)
            firstAfter = TClock::now();
    }
    std::printf("failover: %.2f s from the last decision before node 1 was killed to the first after it\n",
                std::chrono::duration<double>(firstAfter - lastBefore).count());
    return 0;
}
