#include "db/ODBCConn.hpp"

#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "platform/Ping.hpp"

#include "TestDb.hpp"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using db::TODBC;
using db::TODBCConn;
using db::TODBCStatement;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;

namespace {

std::vector<std::string> Messages(const std::string& file)
{
    std::vector<std::string> out;
    for (const auto& l : SplitLines(ReadFile(file)))
        out.push_back(l.size() > 24 ? l.substr(24) : l);
    return out;
}

// A manager set up the way the service sets one up.
struct TManaged {
    TManaged(const TTempDir& dir, const testing_support::TDbParams& p, std::string pingHost = "127.0.0.1",
             int pingTimeout = 700)
        : Log(dir / "conn.log", config::TMessLog::TOptions{.NoHeader = true}, ""), Conn(pingTimeout)
    {
        Conn.Binding = &Odbc;
        Conn.SetLog(&Log);
        Conn.SetParams("", p.Driver, p.Options, p.Password, p.User, p.Database);
        Conn.PingHost = std::move(pingHost);
    }
    config::TMessLog Log;
    TODBC Odbc;
    TODBCConn Conn;  // declared last: closes before the binding and the log go
};

class ODBCConn : public ::testing::TestWithParam<TDbFamily> {
protected:
    void SetUp() override
    {
        m_db = std::make_unique<TTestDatabase>(GetParam());
        ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
    }
    TTempDir m_dir;
    std::unique_ptr<TTestDatabase> m_db;
};

std::string Family(const ::testing::TestParamInfo<TDbFamily>& info)
{
    return testing_support::ToText(info.param);
}

} // namespace

TEST_P(ODBCConn, FirstConnectLogsEachStepAndALiveConnectionLogsNothing)
{
    TManaged m(m_dir, m_db->Params());
    ASSERT_TRUE(m.Conn.EnsureConnected()) << ReadFile(m_dir / "conn.log");
    ASSERT_TRUE(m.Conn.EnsureConnected());
    m.Log.Log("");
    const std::vector<std::string> expected = {"Connecting to " + m_db->Params().Database, "Pinging - 127.0.0.1",
                                               "Ping OK", "Connected to DataSource!"};
    EXPECT_EQ(Messages(m_dir / "conn.log"), expected);
    EXPECT_TRUE(m.Odbc.BindColumns);
    EXPECT_TRUE(m.Odbc.ReportErrors);
}

TEST_P(ODBCConn, ShortHostNamesAndAZeroTimeoutAreNotPinged)
{
    struct TCase {
        const char* host;
        int timeout;
    };
    const TCase cases[] = {{"::1", 700}, {"abcdef", 700}, {"127.0.0.1", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        TTempDir dir;
        TManaged m(dir, m_db->Params(), c.host, c.timeout);
        EXPECT_TRUE(m.Conn.EnsureConnected()) << ReadFile(dir / "conn.log");
        m.Log.Log("");
        const std::vector<std::string> expected = {"Connecting to " + m_db->Params().Database,
                                                   "Connected to DataSource!"};
        EXPECT_EQ(Messages(dir / "conn.log"), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, ODBCConn, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite), Family);

TEST(ODBCConnMariaDB, RefusedLoginLogsTheDriverBetweenPingAndFailure)
{
    TTestDatabase tdb(TDbFamily::MariaDB);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    TTempDir dir;
    auto params = tdb.Params();
    params.Password = "wrong";
    TManaged m(dir, params);
    EXPECT_FALSE(m.Conn.EnsureConnected());
    EXPECT_FALSE(m.Odbc.Connected);
    m.Log.Log("");
    const auto lines = Messages(dir / "conn.log");
    ASSERT_EQ(lines.size(), 5u) << ReadFile(dir / "conn.log");
    EXPECT_EQ(lines[2], "Ping OK");
    EXPECT_NE(lines[3].find(". State:  28000"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "Could not connect to DataSource, check your setup...");
}

TEST(ODBCConnMariaDB, PasswordWithConnectionStringSeparatorsConnects)
{
    TTestDatabase tdb(TDbFamily::MariaDB);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    db::TODBC admin;
    ASSERT_TRUE(tdb.Connect(admin));
    const std::string user = "odd" + tdb.Params().Database;
    ASSERT_TRUE(tdb.Run(admin, "CREATE USER IF NOT EXISTS '" + user + "'@'127.0.0.1' IDENTIFIED BY 'p;a{b}c='"));
    ASSERT_TRUE(tdb.Run(admin, "GRANT ALL ON " + tdb.Params().Database + ".* TO '" + user + "'@'127.0.0.1'"));
    TTempDir dir;
    auto params = tdb.Params();
    params.User = user;
    params.Password = "p;a{b}c=";
    TManaged m(dir, params);
    EXPECT_TRUE(m.Conn.EnsureConnected()) << ReadFile(dir / "conn.log");
    tdb.Run(admin, "DROP USER '" + user + "'@'127.0.0.1'");
}

TEST(ODBCConnMariaDB, KilledSessionIsFoundDeadAndReconnected)
{
    TTestDatabase tdb(TDbFamily::MariaDB);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    TTempDir dir;
    TManaged m(dir, tdb.Params());
    ASSERT_TRUE(m.Conn.EnsureConnected());
    int session = 0;
    {
        TODBCStatement s(m.Odbc);
        ASSERT_TRUE(s.Exec("SELECT CONNECTION_ID() AS id"));
        session = s.AsInteger("id");
    }
    TODBC admin;
    ASSERT_TRUE(tdb.Connect(admin));
    ASSERT_TRUE(tdb.Run(admin, "KILL " + std::to_string(session)));

    TODBCStatement stale(m.Odbc);
    EXPECT_FALSE(stale.Exec("SELECT 1 AS one")) << "the server has gone";
    ASSERT_TRUE(m.Conn.EnsureConnected()) << ReadFile(dir / "conn.log");
    EXPECT_FALSE(stale.Exec("SELECT 1 AS one")) << "statements do not survive a reconnect";
    TODBCStatement fresh(m.Odbc);
    ASSERT_TRUE(fresh.Exec("SELECT CONNECTION_ID() AS id"));
    EXPECT_NE(fresh.AsInteger("id"), session);

    m.Log.Log("");
    const auto lines = Messages(dir / "conn.log");
    const auto dead = std::find(lines.begin(), lines.end(), "ODBC Connection 'Dead'!");
    ASSERT_NE(dead, lines.end()) << ReadFile(dir / "conn.log");
    ASSERT_GE(lines.end() - dead, 5);
    const std::vector<std::string> after(dead + 1, dead + 5);
    const std::vector<std::string> expected = {"Connecting to " + tdb.Params().Database, "Pinging - 127.0.0.1",
                                               "Ping OK", "Connected to DataSource!"};
    EXPECT_EQ(after, expected);
}

TEST(HostList, ItemsPortsAndTheDriversForm)
{
    struct TCase {
        const char* host;
        std::vector<std::string> hosts;
        std::size_t problems;
        const char* driverText;  // %h of SERVER=%h
    };
    const TCase cases[] = {
        {"db1", {"db1"}, 0, "db1"},
        {"db1,db2:3307,10.0.0.3", {"db1", "db2:3307", "10.0.0.3"}, 0, "db1,db2:3307,10.0.0.3"},
        {"db2:3307", {"db2:3307"}, 0, "db2:3307,"},
        {" db1 , ,db2:x, db3:70000,db4:", {"db1"}, 4, "db1"},
        {"[::1]:3306,::1", {"[::1]:3306", "::1"}, 0, "[::1]:3306,::1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        std::vector<std::string> problems;
        EXPECT_EQ(config::ParseHostList(c.host, &problems), c.hosts);
        EXPECT_EQ(problems.size(), c.problems);
        EXPECT_EQ(config::DriverHostList(c.hosts), c.driverText);
    }
    EXPECT_EQ(config::HostOfItem("db2:3307"), "db2");
    EXPECT_EQ(config::HostOfItem("[::1]:3306"), "::1");
    EXPECT_EQ(config::HostOfItem("::1"), "::1");
}

TEST(ODBCConnMariaDB, HostListReachesTheFirstHostThatAnswers)
{
    TTestDatabase tdb(TDbFamily::MariaDB);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    TTempDir dir;
    auto params = tdb.Params();
    // Port 1 on loopback refuses at once; the driver goes on to the next host.
    params.Options = "SERVER=127.0.0.1:1,127.0.0.1:" + std::string(std::getenv("VELIX_MARIADB_PORT")) +
                     ";database=" + params.Database;
    TManaged m(dir, params, "127.0.0.1:1,127.0.0.1");
    ASSERT_TRUE(m.Conn.EnsureConnected()) << ReadFile(dir / "conn.log");
    TODBCStatement s(m.Odbc);
    EXPECT_TRUE(s.Exec("SELECT DATABASE() AS d"));
    EXPECT_EQ(s.AsString("d"), params.Database);
}

TEST(ODBCConnNetwork, UnreachableOrUnknownHostFailsAtThePing)
{
    // In a network namespace of its own the loopback is down and no name
    // server answers: the ping cannot be sent, and names cannot be resolved.
    struct TCase {
        const char* host;
        std::vector<std::string> expected;
    };
    const TCase cases[] = {
        {"127.0.0.1",
         {"Connecting to gtw", "Pinging - 127.0.0.1", "Ping FAIL", "Could not connect to DataSource, check your setup..."}},
        {"db-server.invalid",
         {"Connecting to gtw", "Pinging - db-server.invalid", "Ping Exception - ", "Ping FAIL",
          "Could not connect to DataSource, check your setup..."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        TTempDir dir;
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::unshare(CLONE_NEWNET) != 0)
                ::_exit(77);
            testing_support::TDbParams p;
            p.Driver = "MariaDB";
            p.Database = "gtw";
            TManaged m(dir, p, c.host, 200);
            ::_exit(m.Conn.EnsureConnected() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 77) << "unshare(CLONE_NEWNET) was refused: these tests need root";
        EXPECT_EQ(WEXITSTATUS(status), 0);
        auto lines = Messages(dir / "conn.log");
        for (auto& l : lines)
            if (l.rfind("Ping Exception - ", 0) == 0)
                l = "Ping Exception - ";
        EXPECT_EQ(lines, c.expected) << ReadFile(dir / "conn.log");
    }
}

TEST(ODBCConnNetwork, LoopbackAnswersTheEcho)
{
    for (const char* host : {"127.0.0.1", "127.0.0.2", "localhost", "::1"}) {
        SCOPED_TRACE(host);
        const auto echo = platform::SendEcho(host, std::chrono::milliseconds(700));
        EXPECT_EQ(echo.Result, platform::TEchoResult::Answered) << echo.Error;
    }
}
