// The three-node Galera test cluster (scripts/test-servers galera-start): a
// connection given the nodes as a host list goes on at the next node when its
// node is killed, and the killed node, started again, rejoins with every row.
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"

#include "TestDb.hpp"

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

using namespace std::chrono_literals;
using testing_support::Env;
using testing_support::TDbFamily;
using testing_support::TTestDatabase;
using testing_support::WaitFor;

namespace {

int Int(db::TODBC& odbc, const std::string& sql)
{
    db::TODBCStatement s(odbc);
    return s.Exec(sql) && !s.Columns().empty() ? s.AsInteger(s.Columns()[0].Name) : -999;
}

// The rows of trans as one node sees them, once it has applied what the cluster committed.
int TransRowsOn(const std::string& port, const std::string& database)
{
    db::TODBC node;
    node.BindColumns = true;
    if (!node.Connect("", "svcuser", "pelmox", "MariaDB", database,
                      "SERVER=127.0.0.1;PORT=" + port + ";database=" + database, false))
        return -1;
    db::TODBCStatement wait(node);
    wait.Exec("SET SESSION wsrep_sync_wait = 1");
    return Int(node, "SELECT COUNT(*) FROM trans");
}

} // namespace

TEST(Cluster, AConnectionGoesOnAtTheNextNodeAndTheKilledNodeRejoinsWithEveryRow)
{
    TTestDatabase site(TDbFamily::Galera);
    ASSERT_TRUE(site.Ready()) << site.Problem();
    db::TODBC setup;
    ASSERT_TRUE(site.Connect(setup));
    ASSERT_TRUE(site.CreateSchema(setup));

    const std::string ports = Env("VELIX_GALERA_PORTS");
    std::vector<std::string> nodes;
    std::string hosts;
    for (std::size_t at = 0; at <= ports.size();) {
        const std::size_t end = std::min(ports.find(',', at), ports.size());
        nodes.push_back(ports.substr(at, end - at));
        hosts += (hosts.empty() ? "" : ",") + std::string("127.0.0.1:") + nodes.back();
        at = end + 1;
    }
    ASSERT_EQ(nodes.size(), 3u);
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "cluster.log", {.NoHeader = true}, "");
    db::TODBC binding;
    db::TODBCConn connection(0);
    connection.SetLog(&log);  // the service's way: errors reported, a lost session known as lost
    connection.Binding = &binding;
    connection.SetParams("", "MariaDB", "SERVER=" + hosts + ";database=" + site.Params().Database, "pelmox", "svcuser",
                         site.Params().Database);
    ASSERT_TRUE(connection.EnsureConnected());
    EXPECT_EQ(std::to_string(Int(binding, "SELECT @@port")), nodes[0]) << "the first host of the list";
    db::TODBCStatement insert(binding);
    for (int card = 1; card <= 5; ++card)
        ASSERT_TRUE(insert.ExecFmt("INSERT INTO trans (cardno, error_desc) VALUES (%d, 'before')", card));

    const std::string cluster = Env("VELIX_GALERA_DIR");
    const int pid = std::stoi(testing_support::ReadFile(cluster + "/node1.pid"));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    // The open session died with its node; the next statement finds it lost.
    EXPECT_TRUE(WaitFor([&] { return !insert.ExecFmt("INSERT INTO trans (cardno) VALUES (%d)", 99); }, 5s));
    EXPECT_TRUE(binding.ConnectionLost);
    // The survivors take writes again once they have agreed the node is gone.
    ASSERT_TRUE(WaitFor(
        [&] {
            if (!connection.EnsureConnected())
                return false;
            db::TODBCStatement after(binding);
            return after.ExecFmt("INSERT INTO trans (cardno, error_desc) VALUES (%d, 'after')", 6);
        },
        20s))
        << testing_support::ReadFile(dir / "cluster.log");
    EXPECT_EQ(std::to_string(Int(binding, "SELECT @@port")), nodes[1]) << "the next host that answers";
    db::TODBCStatement after(binding);
    for (int card = 7; card <= 10; ++card)
        ASSERT_TRUE(after.ExecFmt("INSERT INTO trans (cardno, error_desc) VALUES (%d, 'after')", card));
    const int rows = Int(binding, "SELECT COUNT(*) FROM trans");
    EXPECT_GE(rows, 10);

    const auto started = testing_support::Run({testing_support::SourceDir() + "/scripts/test-servers", "galera-node-start",
                                               std::filesystem::path(cluster).parent_path().string(), "1"},
                                              {});
    ASSERT_EQ(started.Status, 0) << started.Err << testing_support::ReadFile(dir / "cluster.log");
    for (const auto& port : nodes)
        EXPECT_TRUE(WaitFor([&] { return TransRowsOn(port, site.Params().Database) == rows; }, 20s)) << "node " << port;
}
