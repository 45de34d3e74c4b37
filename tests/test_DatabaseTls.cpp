// The real service under DatabaseTLS: refused by a server without TLS, and
// against the test server with TLS every session it opens is encrypted, as
// the server itself records them.
#include "config/MessLog.hpp"
#include "config/Scrambler.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"

#include "TestDb.hpp"
#include "TestLoop.hpp"
#include "TestMail.hpp"

#include <signal.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

using namespace std::chrono_literals;
using testing_support::Env;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TChild;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;
using testing_support::WaitFor;

namespace {

class DatabaseTls : public ::testing::Test {
protected:
    // The site on the server of family, two loops of one reader each.
    void SetUpSite(TDbFamily family)
    {
        ASSERT_FALSE(Env("VELIX_TLS_DIR").empty()) << "VELIX_TLS_DIR is not set: the test servers are not running";
        m_db = std::make_unique<TTestDatabase>(family);
        ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
        // Over TLS itself: the server's record of this user's sessions holds only the service's in clear.
        db::TODBC odbc;
        odbc.BindColumns = true;
        const auto& p = m_db->Params();
        ASSERT_TRUE(odbc.Connect("", p.User, p.Password, p.Driver, p.Database, p.Options + ";FORCETLS=1", false));
        ASSERT_TRUE(m_db->CreateSchema(odbc));
        for (const char* sql : {
                 "INSERT INTO `loop` (id, name, port, enabled) VALUES (1, 'gatepc', 1, 1)",
                 "INSERT INTO `loop` (id, name, port, enabled) VALUES (2, 'gatepc', 2, 1)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (1, 1, 1, 'A', 3, 3)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (2, 2, 1, 'B', 3, 3)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) VALUES (1, 1, 1, 1)",
                 "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, "
                 "day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', "
                 "'00:00:00')",
                 "INSERT INTO a_l_range_device VALUES (1, 1)",
                 "INSERT INTO a_l_range_device VALUES (1, 2)",
                 "INSERT INTO card (number, type_id, first_name) VALUES (1000, 1, 'C')",
                 "INSERT INTO messages (id, accepted) VALUES (1, 'OK')",
             })
            ASSERT_TRUE(m_db->Run(odbc, sql)) << sql;
        std::filesystem::create_directories(m_home / "ports");
        for (int port = 1; port <= 2; ++port) {
            const std::string link = m_home / ("ports/COM" + std::to_string(port));
            m_sims.push_back(std::make_unique<TChild>(
                std::vector<std::string>{VELIXCARD_DEVSIM, "--link", link, "--addr", "1", "--baud", "115200"},
                std::map<std::string, std::string>{}));
            ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(link); }, 5s));
        }
        m_listen = testing_support::RefusingPort();
    }

    void WriteRegistry(const std::string& tls, const std::string& tlsOptions, bool offline)
    {
        const auto& p = m_db->Params();
        const std::string port = Env(m_db->Family() == TDbFamily::MariaDBTls ? "VELIX_MARIADB_TLS_PORT"
                                                                              : "VELIX_MARIADB_PORT");
        testing_support::WriteFile(
            m_home / "r.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
            "\"ODBCDriver\"=\"MariaDB\"\r\n\"Database\"=\"" + p.Database + "\"\r\n\"User\"=\"" + p.User +
                "\"\r\n\"Pass\"=\"" + config::Scramble(p.Password).value_or("") + "\"\r\n"
                "\"ODBCOptions\"=\"SERVER=%h;PORT=" + port + ";database=%d" + tlsOptions + "\"\r\n"
                "\"DatabaseTLS\"=\"" + tls + "\"\r\n\"StatusListen\"=\"127.0.0.1:" + std::to_string(m_listen) +
                "\"\r\n" + (offline ? "\"OfflineDecisions\"=dword:00000001\r\n" : "") +
                "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
                "\"ComputerName\"=\"gatepc\"\r\n");
    }

    std::map<std::string, std::string> ServiceEnv()
    {
        return {{"VELIXCARD_HOME", m_home.Path()}, {"VELIXCARD_REGISTRY", m_home / "r.reg"}};
    }
    void StartService() { m_service = std::make_unique<TChild>(std::vector<std::string>{VELIXCARD_BIN}, ServiceEnv()); }
    void StopService()
    {
        m_service->Signal(SIGTERM);
        EXPECT_EQ(m_service->Wait(15s), 0) << "an orderly stop";
        m_service.reset();
    }
    void TearDown() override
    {
        if (m_service) {
            m_service->Signal(SIGTERM);
            m_service->Wait(15s);
        }
    }

    std::string Log() { return testing_support::LogFolderText(m_home.Path()); }
    std::pair<int, std::string> Get(const std::string& path)
    {
        httplib::Client client("127.0.0.1", m_listen);
        client.set_connection_timeout(2);
        client.set_read_timeout(5);
        const auto r = client.Get(path.c_str());
        return r ? std::pair{r->status, r->body} : std::pair{-1, std::string()};
    }
    bool Metric(const std::string& line) { return Get("/metrics").second.find(line + "\n") != std::string::npos; }

    std::unique_ptr<TTestDatabase> m_db;
    TTempDir m_home;
    int m_listen = 0;
    std::vector<std::unique_ptr<TChild>> m_sims;
    std::unique_ptr<TChild> m_service;
};

// The server's own record of this test user's sessions, asked as svcuser.
class TServerRecord {
public:
    explicit TServerRecord(std::string user) : m_user(std::move(user))
    {
        m_admin.BindColumns = true;
        m_ok = m_admin.Connect("", "svcuser", "pelmox", "MariaDB", "",
                               "SERVER=127.0.0.1;PORT=" + Env("VELIX_MARIADB_TLS_PORT"), false);
    }
    bool Ok() const { return m_ok; }
    // The Ssl_cipher of each live session.
    std::vector<std::string> LiveCiphers()
    {
        std::vector<std::string> out;
        db::TODBCStatement s(m_admin);
        for (bool more = s.Exec("SELECT COALESCE(s.VARIABLE_VALUE, '') AS cipher FROM performance_schema.threads t "
                                "LEFT JOIN performance_schema.status_by_thread s ON s.THREAD_ID = t.THREAD_ID AND "
                                "s.VARIABLE_NAME = 'Ssl_cipher' WHERE t.PROCESSLIST_USER = '" + m_user + "'");
             more; more = s.Next())
            out.push_back(s.AsString("cipher"));
        return out;
    }
    // How each session ever opened came in: "SSL/TLS" or "TCP/IP".
    std::vector<std::string> Transports()
    {
        std::vector<std::string> out;
        db::TODBCStatement s(m_admin);
        for (bool more = s.Exec("SELECT argument FROM mysql.general_log WHERE command_type = 'Connect' AND "
                                "argument LIKE '" + m_user + "@%'");
             more; more = s.Next()) {
            const std::string line = s.AsString("argument");
            out.push_back(line.substr(line.rfind(" using ") + 7));
        }
        return out;
    }

private:
    std::string m_user;
    db::TODBC m_admin;
    bool m_ok = false;
};

} // namespace

TEST_F(DatabaseTls, RequiredAgainstAServerWithoutTlsWaitsInTheStartUpRetry)
{
    SetUpSite(TDbFamily::MariaDB);
    WriteRegistry("required", ";SSLCA=" + Env("VELIX_TLS_DIR") + "/ca.pem", false);
    StartService();
    EXPECT_TRUE(WaitFor([&] { return Log().find("Failed connection, check ODBC install and parameters, retrying in 20 "
                                                "seconds") != std::string::npos; },
                        15s))
        << Log();
    EXPECT_NE(Log().find("Connection closed, DatabaseTLS required: the session is not encrypted"), std::string::npos)
        << Log();
    EXPECT_EQ(Log().find("Started!"), std::string::npos);
    const auto health = Get("/healthz");
    EXPECT_EQ(health.first, 503);
    EXPECT_NE(health.second.find("retrying start-up: no connection to the database"), std::string::npos)
        << health.second;
    EXPECT_TRUE(Metric("velixcard_started 0")) << Get("/metrics").second;

    const auto check = testing_support::Run({VELIXCARD_BIN, "CHECK"}, ServiceEnv());
    EXPECT_EQ(check.Status, 1);
    EXPECT_NE(check.Out.find("PROBLEM: no connection to the database: Connection closed, DatabaseTLS required: "
                             "the session is not encrypted"),
              std::string::npos)
        << check.Out;
    StopService();
}

TEST_F(DatabaseTls, EveryConnectionOfTheServiceIsEncrypted)
{
    SetUpSite(TDbFamily::MariaDBTls);
    TServerRecord server(m_db->Params().User);
    ASSERT_TRUE(server.Ok()) << "cannot reach the TLS test server as svcuser";
    const std::string ca = ";SSLCA=" + Env("VELIX_TLS_DIR") + "/ca.pem";
    const auto allEncrypted = [](const std::vector<std::string>& ciphers) {
        return std::none_of(ciphers.begin(), ciphers.end(), [](const std::string& c) { return c.empty(); });
    };

    // The start-up connection, the loops' and the offline copy's; a card decided on them.
    WriteRegistry("verified", ca, true);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Log().find("Offline copy rebuilt (") != std::string::npos; }, 20s)) << Log();
    m_sims[0]->Write("card 1 1000\n");
    EXPECT_TRUE(WaitFor([&] { return m_sims[0]->Output().find("G003OK") != std::string::npos; }, 10s)) << Log();
    const auto live = server.LiveCiphers();
    EXPECT_EQ(live.size(), 4u) << "start-up, two loops, the offline copy";
    EXPECT_TRUE(allEncrypted(live)) << testing::PrintToString(live);
    const std::string cipher = live.empty() ? "(none)" : live.front();
    for (const char* kind : {"startup", "1", "2", "offline copy"})
        EXPECT_TRUE(Metric("velixcard_database_tls{loop=\"" + std::string(kind) + "\"} 2")) << kind;

    // CHECK makes each kind as the service does; STATUS shows its own.
    const auto check = testing_support::Run({VELIXCARD_BIN, "CHECK"}, ServiceEnv());
    EXPECT_EQ(check.Status, 0) << check.Out;
    for (const std::string kind : {"startup", "loop 1", "loop 2", "offline copy", "journal replay", "CHECK, STATUS"}) {
        SCOPED_TRACE(kind);
        const auto lines = SplitLines(check.Out);
        const auto row = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind("  " + kind + "  ", 0) == 0 && l.find(" yes ") != std::string::npos;
        });
        ASSERT_NE(row, lines.end()) << check.Out;
        EXPECT_NE(row->find(cipher), std::string::npos) << *row;
        EXPECT_NE(row->find("certificate and host name verified"), std::string::npos) << *row;
    }
    const auto status = testing_support::Run({VELIXCARD_BIN, "STATUS"}, ServiceEnv());
    EXPECT_EQ(status.Status, 0) << status.Out;
    EXPECT_NE(status.Out.find("Connection TLS: TLSv1."), std::string::npos) << status.Out;
    EXPECT_NE(status.Out.find(cipher + ", certificate and host name verified (DatabaseTLS verified)"),
              std::string::npos)
        << status.Out;
    StopService();

    // A journal left over, with offline decisions off: the replay's connection.
    {
        config::TMessLog log(m_home / "journal-fill.log", config::TMessLog::TOptions{});
        db::TJournal journal(m_home / "offline/journal.db", 100, log);
        ASSERT_TRUE(journal.Append("gatepc", platform::NowDateTime(),
                                   {"INSERT INTO trans (cardno, error_desc) VALUES (5555, 'Accepted')"}));
    }
    WriteRegistry("required", ca, false);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Log().find("Journal replay ended: 1 applied") != std::string::npos &&
                                     testing_support::Occurrences(Log(), "Started!") == 2; },
                        20s))
        << Log();
    const auto replaying = server.LiveCiphers();
    EXPECT_EQ(replaying.size(), 4u) << "start-up, two loops, the replay";
    EXPECT_TRUE(allEncrypted(replaying));
    EXPECT_TRUE(Metric("velixcard_database_tls{loop=\"journal replay\"} 1")) << Get("/metrics").second;
    StopService();

    // Every session the server ever saw of this user, those that ended too.
    const auto transports = server.Transports();
    EXPECT_GE(transports.size(), 15u) << "4 + 4 of the service, 6 of CHECK, 1 of STATUS";
    EXPECT_EQ(std::count(transports.begin(), transports.end(), "SSL/TLS"),
              static_cast<std::ptrdiff_t>(transports.size()));
}
