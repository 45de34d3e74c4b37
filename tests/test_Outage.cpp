// The real service, two loops and cards at five a second, while its MariaDB
// server is killed or stops answering: a private server of this test's own,
// so the other tests keep theirs.
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"

#include "TestDb.hpp"
#include "TestLoop.hpp"
#include "TestMail.hpp"

#include <signal.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testing_support::Env;
using testing_support::ReadFile;
using testing_support::TChild;
using testing_support::TTempDir;
using testing_support::Occurrences;
using testing_support::WaitFor;

namespace {

class Outage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Env("VELIX_MARIADB_PORT").empty()) << "the test servers are not running (scripts/test-servers)";
        // A server per test, on a port nothing listens on: the tests run side by side.
        m_port = std::to_string(testing_support::RefusingPort());
        const auto started = Servers("mariadb-start");
        ASSERT_EQ(started.Status, 0) << "could not start a private MariaDB server on port " << m_port << ": "
                                     << started.Err;
        db::TODBC admin;
        ASSERT_TRUE(admin.Connect("", "svcuser", "pelmox", "MariaDB", "", "SERVER=127.0.0.1;PORT=" + m_port, false));
        ASSERT_TRUE(Run(admin, "DROP DATABASE IF EXISTS site"));
        ASSERT_TRUE(Run(admin, "CREATE DATABASE site"));
        ASSERT_TRUE(Connect(m_odbc));
        db::TODBCStatement schema(m_odbc);
        std::string statement;
        for (const auto& line : testing_support::SplitLines(ReadFile(testing_support::SourceDir() + "/db/schema/mysql.sql"))) {
            if (line.rfind("--", 0) == 0)
                continue;
            statement += line + "\n";
            if (!line.empty() && line.back() == ';') {
                statement.pop_back();
                statement.pop_back();
                ASSERT_TRUE(Run(m_odbc, statement)) << statement;
                statement.clear();
            }
        }
        for (const char* sql : {
                 "INSERT INTO `loop` (id, name, port, enabled) VALUES (1, 'gatepc', 1, 1)",
                 "INSERT INTO `loop` (id, name, port, enabled) VALUES (2, 'gatepc', 2, 1)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (1, 1, 1, 'A', 3, 3)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (2, 2, 1, 'B', 3, 3)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) VALUES (1, 1, 1, 1)",
                 "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, "
                 "day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
                 "INSERT INTO a_l_range_device VALUES (1, 1)",
                 "INSERT INTO a_l_range_device VALUES (1, 2)",
                 "INSERT INTO card (number, type_id, first_name) SELECT seq, 1, 'C' FROM seq_1000_to_3999",
                 "INSERT INTO messages (id, accepted) VALUES (1, 'OK')",
                 "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 100, 100)",
                 // A card held to passback at the entry of loop 2, with a message row of its own.
                 "UPDATE device SET dir_ection = 1 WHERE id = 2",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id) "
                 "VALUES (2, 1, 1, 0, 2)",
                 "INSERT INTO messages (id, accepted, not_on_file, passback) VALUES (2, 'Welcome %c', 'Unknown', 'Passback')",
                 "UPDATE messages SET not_on_file = 'Unknown' WHERE id = 1",
                 "INSERT INTO card (number, type_id, first_name, in_lot) VALUES (9001, 2, 'P', 2)",
                 // A ticket spitter and an exit reader on loop 1.
                 "INSERT INTO device (id, loop_id, addr_ess, name, device_type, dir_ection) VALUES (3, 1, 2, 'Spitter', 1, 1)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, device_type, dir_ection, open_pulse) "
                 "VALUES (4, 1, 3, 'Exit', 2, 2, 3)",
             })
            ASSERT_TRUE(Run(m_odbc, sql)) << sql;
        for (const auto& sql : m_siteExtra)
            ASSERT_TRUE(Run(m_odbc, sql)) << sql;
        std::filesystem::create_directories(m_home / "ports");
        testing_support::WriteFile(
            m_home / "r.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
            "\"ODBCDriver\"=\"MariaDB\"\r\n\"Database\"=\"site\"\r\n"
            "\"ODBCOptions\"=\"SERVER=%h;PORT=" + m_port + ";database=%d\"\r\n" +
                (m_offline ? "\"OfflineDecisions\"=dword:00000001\r\n" : "") + m_registryExtra +
            "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
            "\"ComputerName\"=\"gatepc\"\r\n");
        testing_support::WriteFile(m_home / "velixcard.ini",
                                   std::string("[Settings]\r\nLow Security on DB Error=") + (m_offline ? "0" : "1") +
                                       "\r\n");
        for (int port = 1; port <= 2; ++port) {
            m_sims.push_back(std::make_unique<TChild>(
                std::vector<std::string>{VELIXCARD_DEVSIM, "--link", m_home / ("ports/COM" + std::to_string(port)),
                                         "--addr", port == 1 ? "1-3" : "1", "--baud", "115200"},
                std::map<std::string, std::string>{}));
            const std::string link = m_home / ("ports/COM" + std::to_string(port));
            ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(link); }, 5s));
        }
        StartService();
        ASSERT_TRUE(WaitFor([&] { return Log().find("Started!") != std::string::npos; }, 15s)) << Diagnostics();
    }

    void StartService()
    {
        m_service = std::make_unique<TChild>(
            std::vector<std::string>{VELIXCARD_BIN},
            std::map<std::string, std::string>{{"VELIXCARD_HOME", m_home.Path()},
                                               {"VELIXCARD_REGISTRY", m_home / "r.reg"}});
    }

    void TearDown() override
    {
        if (m_service) {
            m_service->Signal(SIGTERM);
            m_service->Wait(15s);
        }
        m_service.reset();
        m_sims.clear();
        if (!m_port.empty())
            Servers("stop");
    }

    testing_support::TRunResult Servers(const std::string& verb)
    {
        return testing_support::Run({testing_support::SourceDir() + "/scripts/test-servers", verb, m_servers.Path()},
                                    {{"VELIX_MARIADB_PORT", m_port}});
    }
    bool Connect(db::TODBC& odbc)
    {
        odbc.BindColumns = true;
        return odbc.Connect("", "svcuser", "pelmox", "MariaDB", "site", "SERVER=127.0.0.1;PORT=" + m_port, false);
    }
    static bool Run(db::TODBC& odbc, const std::string& sql)
    {
        db::TODBCStatement s(odbc);
        return s.Exec(sql);
    }
    void SignalServer(int sig)
    {
        const int pid = std::stoi(ReadFile(m_servers / "mariadb/mysqld.pid"));
        ::kill(pid, sig);
    }

    std::string Log() { return testing_support::LogFolderText(m_home.Path()); }
    // For a failure: the log and what the service printed (a sanitizer's report).
    std::string Diagnostics()
    {
        return Log() + "\n--- the service's output:\n" + (m_service ? m_service->Output() : std::string());
    }

    // Cards numbered from first, alternately at the two loops, five a second.
    void Present(int first, int count)
    {
        for (int i = 0; i < count; ++i) {
            m_sims[static_cast<std::size_t>(i % 2)]->Write("card 1 " + std::to_string(first + i) + "\n");
            std::this_thread::sleep_for(200ms);
        }
    }
    // Gate frames with this text the two simulators received.
    int Answers(const std::string& text)
    {
        int n = 0;
        for (const auto& sim : m_sims) {
            const std::string out = sim->Output();
            for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
                ++n;
        }
        return n;
    }
    // Booked cards in [first, first + count): rows and distinct numbers, from a fresh session.
    std::pair<int, int> Booked(int first, int count)
    {
        db::TODBC odbc;
        if (!Connect(odbc))
            return {-1, -1};
        db::TODBCStatement s(odbc);
        s.Exec(config::Format("SELECT COUNT(*) AS n, COUNT(DISTINCT cardno) AS d FROM trans WHERE cardno >= %d and "
                              "cardno < %d",
                              first, first + count));
        return {s.AsInteger("n"), s.AsInteger("d")};
    }

    // Set by the fixtures below before SetUp.
    bool m_offline = false;
    std::string m_registryExtra;
    std::vector<std::string> m_siteExtra;  // run on the site after its rows
    TTempDir m_home;
    TTempDir m_servers;
    std::string m_port;
    db::TODBC m_odbc;
    std::vector<std::unique_ptr<TChild>> m_sims;
    std::unique_ptr<TChild> m_service;
};

} // namespace

TEST_F(Outage, KilledOrHungServerCardsGetLowSecurityThenEveryCardIsBookedOnce)
{
    Present(1000, 10);
    ASSERT_TRUE(WaitFor([&] { return Booked(1000, 10) == std::make_pair(10, 10); }, 10s)) << Diagnostics();

    // Killed: every card is answered as the low-security setting says, none booked.
    SignalServer(SIGKILL);
    Present(1500, 50);
    EXPECT_TRUE(WaitFor([&] { return Answers("G003Thank you...") == 50; }, 10s))
        << Answers("G003Thank you...") << "\n" << Diagnostics();
    ASSERT_EQ(Servers("mariadb-start").Status, 0);
    EXPECT_EQ(Booked(1500, 50), std::make_pair(0, 0));

    // Back: the next card of each loop reconnects; every card is booked exactly once.
    Present(2000, 20);
    EXPECT_TRUE(WaitFor([&] { return Booked(2000, 20) == std::make_pair(20, 20); }, 20s)) << Diagnostics();
    EXPECT_TRUE(WaitFor([&] { return Answers("G003OK") == 30; }, 10s)) << Answers("G003OK");

    // Hung: the server stops answering without closing its connections.
    SignalServer(SIGSTOP);
    Present(2500, 50);
    SignalServer(SIGCONT);
    // Every card gets an answer, late or not, and none is booked twice.
    EXPECT_TRUE(WaitFor([&] { return Answers("G003OK") + Answers("G003Thank you...") == 130; }, 60s))
        << Answers("G003OK") << " " << Answers("G003Thank you...") << "\n" << Diagnostics();
    const auto stalled = Booked(2500, 50);
    EXPECT_EQ(stalled.first, stalled.second);
    Present(3000, 20);
    EXPECT_TRUE(WaitFor([&] { return Booked(3000, 20) == std::make_pair(20, 20); }, 30s)) << Diagnostics();
    m_service->Signal(SIGTERM);
    EXPECT_EQ(m_service->Wait(15s), 0) << "no crash, an orderly stop";
    m_service.reset();
}

namespace {

class OfflineOutage : public Outage {
protected:
    OfflineOutage()
    {
        m_offline = true;
    }

    // The barcode of a ticket issued now in lane 2: 20,000,000 + the wall
    // clock's seconds since 1 January of the cycle's even year.
    static std::string TicketIssuedNow()
    {
        const platform::TLocalTime t = platform::LocalNow();
        const int base = t.Year % 2 == 0 ? t.Year : t.Year - 1;
        const auto seconds = std::llround((platform::NowDateTime() - platform::EncodeDate(base, 1, 1)) * 86400);
        return config::Format("%08lld%02d", 20000000 + seconds, 2);
    }

    int Count(const std::string& sql)
    {
        db::TODBC odbc;
        if (!Connect(odbc))
            return -1;
        db::TODBCStatement s(odbc);
        return s.Exec(sql) ? s.AsInteger("n") : -1;
    }
};

} // namespace

TEST_F(OfflineOutage, CardsAreDecidedFromTheCopyJournalledAndBookedOnceWhenTheServerIsBack)
{
    ASSERT_TRUE(WaitFor([&] { return Log().find("Offline copy rebuilt (no copy yet): ") != std::string::npos; }, 15s))
        << Diagnostics();
    SignalServer(SIGKILL);

    // Loop 2 is an entry: refused as not on file, accepted with the card type's text, then held to passback.
    const auto present = [&](const std::string& card, const std::string& frame, int times) {
        m_sims[1]->Write("card 1 " + card + "\n");
        return WaitFor([&] { return Answers(frame) == times; }, 15s);
    };
    EXPECT_TRUE(present("4242", "BUnknown", 1)) << Diagnostics();
    // The card's number shows as it does online: 9001, not the copy's 9001.0.
    EXPECT_TRUE(present("9001", "G003Welcome 9001", 1)) << Diagnostics();
    EXPECT_EQ(Answers("9001.0"), 0);
    EXPECT_TRUE(present("9001", "BPassback", 1)) << Diagnostics();
    EXPECT_NE(Log().find("Offline decision: card 9001 at address 1, Passback Error"), std::string::npos) << Diagnostics();

    // A ticket issued during the outage leaves once.
    const std::string barcode = TicketIssuedNow();
    m_sims[0]->Write("issue 2 0" + barcode + "000123\n");
    ASSERT_TRUE(WaitFor([&] { return Log().find("Bar:" + barcode) != std::string::npos; }, 15s)) << Diagnostics();
    m_sims[0]->Write("barcode 3 " + barcode + "\n");
    EXPECT_TRUE(WaitFor([&] { return Answers("G003Thank you...") == 1; }, 15s)) << Diagnostics();
    m_sims[0]->Write("barcode 3 " + barcode + "\n");
    EXPECT_TRUE(WaitFor([&] { return Answers("BExitPass Used") == 1; }, 15s)) << Diagnostics();

    // Killed during the outage, and started again while the server is still
    // away: it sets its loops up from the copy and goes on deciding.
    m_service->Signal(SIGKILL);
    m_service->Wait(15s);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Occurrences(Log(), "Started!") == 2; }, 20s)) << Diagnostics();
    EXPECT_NE(Log().find("The site database is away: starting from the offline copy"), std::string::npos);
    EXPECT_TRUE(present("4242", "BUnknown", 2)) << Diagnostics();
    m_service->Signal(SIGTERM);
    EXPECT_EQ(m_service->Wait(15s), 0);
    const std::string journalFile = m_home / "offline/journal.db";
    std::size_t entries = 0;
    {
        config::TMessLog log(m_home / "journal-check.log", config::TMessLog::TOptions{});
        db::TJournal journal(journalFile, 100, log);
        entries = journal.Depth();
        // Four cards, the issue, two exits, and the soft counts of the accepted ones.
        EXPECT_GE(entries, 7u);
    }
    const std::string applied = "Journal replay ended: " + std::to_string(entries) + " applied";
    const std::string again = "Journal replay ended: 0 applied, " + std::to_string(entries) + " already booked";
    // What a crash in the middle of the replay would leave: the entries still in the journal.
    std::filesystem::copy_file(journalFile, m_home / "journal-before-replay.db");

    // The server back two seconds after the last decision at least, so that
    // a row stamped at its replay would show; the service started again: each
    // decision booked once, with its own time.
    const auto decided = std::chrono::system_clock::now();
    ASSERT_TRUE(WaitFor([&] { return std::chrono::system_clock::now() > decided + 2s; }, 5s));
    ASSERT_EQ(Servers("mariadb-start").Status, 0);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Log().find(applied) != std::string::npos; }, 30s))
        << Diagnostics();
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM trans WHERE cardno = 4242 AND error_desc = 'Not On File'"), 2);
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM trans WHERE cardno = 9001"), 2);
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM trans WHERE cardno IN (4242, 9001) AND dat_e < "
                    "(SELECT MIN(applied_at) FROM velix_journal WHERE computer = 'gatepc')"),
              4)
        << "the rows carry the decision's time";
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM card WHERE number = 9001 AND in_lot = 1"), 1);
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM velix_journal WHERE computer = 'gatepc'"), static_cast<int>(entries));
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM tickinv WHERE barcode = '" + barcode + "' AND takerid = 3 AND out_date < "
                    "(SELECT MIN(applied_at) FROM velix_journal WHERE computer = 'gatepc')"),
              1)
        << "the ticket issued and taken (at address 3) during the outage, at the time of its exit";
    EXPECT_EQ(Log().find("Card#: 9001.0"), std::string::npos);

    // The same entries replayed again: every one is found booked, nothing twice.
    m_service->Signal(SIGTERM);
    EXPECT_EQ(m_service->Wait(15s), 0);
    std::filesystem::copy_file(m_home / "journal-before-replay.db", journalFile,
                               std::filesystem::copy_options::overwrite_existing);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Log().find(again) != std::string::npos; },
                        30s))
        << Diagnostics();
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM trans WHERE cardno IN (4242, 9001)"), 4);
    m_service->Signal(SIGTERM);
    EXPECT_EQ(m_service->Wait(15s), 0);
    m_service.reset();
}

namespace {

// The status listener of the real service on a free loopback port.
class StatusListener : public Outage {
protected:
    StatusListener()
    {
        m_listen = testing_support::RefusingPort();  // free: nothing listens there
        m_registryExtra = "\"StatusListen\"=\"127.0.0.1:" + std::to_string(m_listen) + "\"\r\n";
    }
    std::pair<int, std::string> Get(const std::string& path)
    {
        httplib::Client client("127.0.0.1", m_listen);
        client.set_connection_timeout(2);
        client.set_read_timeout(5);
        const auto r = client.Get(path.c_str());
        return r ? std::pair{r->status, r->body} : std::pair{-1, std::string()};
    }
    bool Metric(const std::string& line) { return Get("/metrics").second.find(line + "\n") != std::string::npos; }
    // Headless Chromium on the page, its scripts given a few seconds: the
    // rendered document, or a screenshot kept with the build's test artefacts.
    std::string Browser(const std::string& what)
    {
        const std::string artefacts = testing_support::BuildDir() + "/test-artefacts";
        std::filesystem::create_directories(artefacts);
        std::vector<std::string> argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                         "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                         "--disable-extensions", "--disable-sync", "--window-size=1000,800",
                                         "--virtual-time-budget=4000", "--user-data-dir=" + (m_home / "chromium")};
        argv.push_back(what == "screenshot" ? "--screenshot=" + artefacts + "/status-page.png" : "--dump-dom");
        argv.push_back("http://127.0.0.1:" + std::to_string(m_listen) + "/");
        return testing_support::Run(argv, {{"HOME", m_home.Path()}}).Out;
    }
    int m_listen = 0;
};

} // namespace

// The metric names of the README's table.
std::vector<std::string> DocumentedMetrics()
{
    std::vector<std::string> names;
    for (const auto& line : testing_support::SplitLines(ReadFile(testing_support::SourceDir() + "/README.md"))) {
        if (line.rfind("| `velixcard_", 0) != 0)
            continue;
        const std::string first = line.substr(0, line.find('|', 1));
        for (auto at = first.find('`'); at != std::string::npos; at = first.find('`', first.find('`', at + 1) + 1))
            names.push_back(first.substr(at + 1, first.find('`', at + 1) - at - 1));
    }
    return names;
}

TEST_F(StatusListener, MetricsHealthAndStatusFollowTheSite)
{
    EXPECT_TRUE(WaitFor([&] { return Get("/healthz") == std::pair{200, std::string("ok\n")}; }, 10s)) << Get("/healthz").second;
    // Before any card, mail or reconnect, every documented series is there (at
    // 0 where nothing happened), so that rate() sees the first change; the
    // offline gauges only with offline decisions on.
    {
        const std::string first = Get("/metrics").second;
        const auto names = DocumentedMetrics();
        EXPECT_GE(names.size(), 28u);
        for (const auto& name : names) {
            if (name.find("offline_journal_depth") != std::string::npos || name.find("offline_copy_age") != std::string::npos)
                continue;
            EXPECT_TRUE(first.find("\n" + name + " ") != std::string::npos || first.find("\n" + name + "{") != std::string::npos ||
                        first.find("\n" + name + "_bucket{") != std::string::npos)
                << name << " is not in the first scrape";
        }
        for (const char* zero : {"velixcard_missed_replies_total{loop=\"2\"} 0", "velixcard_crc_errors_total{loop=\"2\"} 0",
                                 "velixcard_events_dropped_total{loop=\"1\"} 0", "velixcard_mail_failed_total 0",
                                 "velixcard_database_reconnects_total 0", "velixcard_failed_statements_total 0",
                                 "velixcard_decision_seconds_bucket{le=\"0.005\"} 0",
                                 "velixcard_decisions_total{result=\"Passback Error\"} 0",
                                 "velixcard_fire_alarms{loop=\"1\",address=\"3\",device=\"Exit\"} 0"})
            EXPECT_NE(first.find(std::string("\n") + zero + "\n"), std::string::npos) << zero << "\n" << first;
        const std::string file = m_home / "first-metrics.txt";
        testing_support::WriteFile(file, first);
        const auto check = testing_support::Run({"/bin/sh", "-c", "promtool check metrics < " + file}, {});
        EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    }
    m_sims[0]->Write("card 1 1000\n");
    m_sims[0]->Write("card 1 4242\n");
    EXPECT_TRUE(WaitFor([&] { return Metric("velixcard_decisions_total{result=\"Accepted\"} 1") &&
                                     Metric("velixcard_decisions_total{result=\"Not On File\"} 1"); }, 10s))
        << Get("/metrics").second;
    EXPECT_TRUE(Metric("velixcard_decision_seconds_count 2"));
    EXPECT_TRUE(Metric("velixcard_card_road_seconds_count 2"));
    EXPECT_TRUE(Metric("velixcard_device_online{loop=\"1\",address=\"1\",device=\"A\"} 1"));
    EXPECT_NE(Get("/status.json").second.find("\"card\":\"4242\",\"result\":\"Not On File\""), std::string::npos)
        << Get("/status.json").second;

    // The text passes the format's own check.
    const std::string metrics = m_home / "metrics.txt";
    testing_support::WriteFile(metrics, Get("/metrics").second);
    const auto check = testing_support::Run({"/bin/sh", "-c", "promtool check metrics < " + metrics}, {});
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;

    // A real Prometheus server on loopback scrapes it.
    {
        const int prometheusPort = testing_support::RefusingPort();
        testing_support::WriteFile(m_home / "prometheus.yml",
                                   "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: velixcard\n"
                                   "    static_configs:\n      - targets: ['127.0.0.1:" +
                                       std::to_string(m_listen) + "']\n");
        TChild prometheus({"/usr/bin/prometheus", "--config.file=" + (m_home / "prometheus.yml"),
                           "--storage.tsdb.path=" + (m_home / "tsdb"),
                           "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                          {});
        httplib::Client api("127.0.0.1", prometheusPort);
        const auto scraped = [&] {
            const auto r = api.Get("/api/v1/query?query=velixcard_decisions_total");
            return r && r->status == 200 && r->body.find("\"result\":\"Accepted\"") != std::string::npos;
        };
        EXPECT_TRUE(WaitFor(scraped, 30s)) << [&] {
            const auto targets = api.Get("/api/v1/targets");
            return targets ? targets->body : prometheus.Output();
        }();
        prometheus.Signal(SIGTERM);
        prometheus.Wait(10s);
    }

    // Only GET, only the four paths; the page is there.
    httplib::Client client("127.0.0.1", m_listen);
    const auto post = client.Post("/metrics", "x", "text/plain");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(Get("/nothing").first, 404);
    const auto page = Get("/");
    EXPECT_EQ(page.first, 200);
    EXPECT_NE(page.second.find("fetch(\"/status.json\""), std::string::npos);

    // The page in a real browser: the full lot and the device on line.
    const std::string rendered = Browser("dump-dom");
    EXPECT_NE(rendered.find("class=\"lot full\""), std::string::npos) << rendered;
    EXPECT_NE(rendered.find("<b>North</b><span>100 / 100</span>"), std::string::npos) << rendered;
    EXPECT_NE(rendered.find("<td>A</td><td>reader</td><td class=\"yes\">yes</td>"), std::string::npos) << rendered;
    Browser("screenshot");

    // A silenced device goes off line, on the metrics and in the status.
    m_sims[0]->Write("silent 1\n");
    EXPECT_TRUE(WaitFor([&] { return Metric("velixcard_device_online{loop=\"1\",address=\"1\",device=\"A\"} 0"); }, 10s));
    EXPECT_NE(Get("/status.json").second.find("\"loop\":1,\"address\":1,\"name\":\"A\",\"type\":\"reader\",\"online\":false"),
              std::string::npos)
        << Get("/status.json").second;
    EXPECT_NE(Browser("dump-dom").find("<td>A</td><td>reader</td><td class=\"no\">NO</td>"), std::string::npos);

    // The database away: 503 with the reason; back: 200.
    SignalServer(SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return Get("/healthz").first == 503; }, 10s));
    EXPECT_NE(Get("/healthz").second.find("without its database"), std::string::npos) << Get("/healthz").second;
    ASSERT_EQ(Servers("mariadb-start").Status, 0);
    EXPECT_TRUE(WaitFor([&] { return Get("/healthz").first == 200; }, 20s)) << Get("/healthz").second;
}

TEST_F(OfflineOutage, AReplayCutOffHalfWayBooksEveryEntryOnce)
{
    // 2000 decisions left by an outage, replayed by the service: cut off half
    // way, once by the service killed and started again, once by the server
    // going away and coming back.
    constexpr int kEntries = 2000;
    const auto leave = [&](int firstCard) {
        m_service->Signal(SIGTERM);
        ASSERT_EQ(m_service->Wait(15s), 0);
        config::TMessLog log(m_home / "journal-fill.log", config::TMessLog::TOptions{});
        db::TJournal journal(m_home / "offline/journal.db", 100000, log);
        for (int i = 0; i < kEntries; ++i)
            ASSERT_TRUE(journal.Append("gatepc", platform::NowDateTime(),
                                       {"INSERT INTO trans (cardno, error_desc) VALUES (" + std::to_string(firstCard + i) +
                                        ", 'Accepted')"}));
    };
    const auto booked = [&](int firstCard) {
        return Count("SELECT COUNT(*) AS n FROM trans WHERE cardno >= " + std::to_string(firstCard) + " AND cardno < " +
                     std::to_string(firstCard + kEntries));
    };
    const auto bookedOnce = [&](int firstCard) {
        EXPECT_TRUE(WaitFor([&] { return booked(firstCard) == kEntries; }, 60s)) << booked(firstCard) << "\n" << Diagnostics();
        EXPECT_EQ(Count("SELECT COUNT(DISTINCT cardno) AS n FROM trans WHERE cardno >= " + std::to_string(firstCard)),
                  kEntries);
    };

    leave(20000);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return booked(20000) > 0; }, 20s)) << Diagnostics();
    m_service->Signal(SIGKILL);
    m_service->Wait(15s);
    EXPECT_LT(booked(20000), kEntries) << "killed half way";
    StartService();
    bookedOnce(20000);

    leave(40000);
    StartService();
    ASSERT_TRUE(WaitFor([&] { return booked(40000) > 0; }, 20s)) << Diagnostics();
    SignalServer(SIGKILL);
    ASSERT_EQ(Servers("mariadb-start").Status, 0);
    bookedOnce(40000);
    EXPECT_EQ(Count("SELECT COUNT(*) AS n FROM velix_journal WHERE computer = 'gatepc'"), 2 * kEntries);
}

namespace {

// A site whose rows hold NULLs where its columns allow them.
class OfflineOutageWithNulls : public OfflineOutage {
protected:
    OfflineOutageWithNulls()
    {
        m_siteExtra = {
            "ALTER TABLE card MODIFY first_name varchar(40) NULL, MODIFY str_eet varchar(80) NULL",
            "ALTER TABLE device MODIFY gate_up int NULL",
            "UPDATE card SET first_name = NULL, str_eet = NULL WHERE number = 1000",
            "UPDATE device SET gate_up = NULL",
        };
    }
};

} // namespace

TEST_F(OfflineOutageWithNulls, NullsAtTheSiteReachTheCopyAndADecisionIsMadeFromIt)
{
    ASSERT_TRUE(WaitFor([&] { return Log().find("Offline copy rebuilt (no copy yet): ") != std::string::npos; }, 15s))
        << Diagnostics();
    EXPECT_EQ(Occurrences(Log(), "Offline copy not refreshed"), 0) << Diagnostics();
    SignalServer(SIGKILL);
    m_sims[1]->Write("card 1 1000\n");
    EXPECT_TRUE(WaitFor([&] { return Answers("G003OK") == 1; }, 15s)) << Diagnostics();
    EXPECT_NE(Log().find("Offline decision: card 1000 at address 1, "), std::string::npos) << Diagnostics();
}

TEST_F(OfflineOutage, AStartWithoutACopyMakesOneRightAfterTheReplay)
{
    ASSERT_TRUE(WaitFor([&] { return Log().find("Offline copy rebuilt (no copy yet): ") != std::string::npos; }, 15s))
        << Diagnostics();
    SignalServer(SIGKILL);
    m_sims[1]->Write("card 1 9001\n");
    ASSERT_TRUE(WaitFor([&] { return Answers("G003Welcome") == 1; }, 15s)) << Diagnostics();
    m_service->Signal(SIGTERM);
    ASSERT_EQ(m_service->Wait(15s), 0);
    // Started again with no copy while the server is away: no start until it answers.
    std::filesystem::remove(m_home / "offline/copy.db");
    StartService();
    ASSERT_TRUE(WaitFor([&] { return Log().find("No start from the offline copy: no offline copy") != std::string::npos; },
                        15s))
        << Diagnostics();
    ASSERT_EQ(Servers("mariadb-start").Status, 0);
    ASSERT_TRUE(WaitFor([&] { return Log().find("Journal replay ended: ") != std::string::npos; }, 40s))
        << Diagnostics();
    // Within seconds, not at the next retry a minute on.
    EXPECT_TRUE(WaitFor([&] { return Occurrences(Log(), "Offline copy rebuilt (no copy yet): ") == 2; }, 10s))
        << Diagnostics();
    const std::string log = Log();
    EXPECT_LT(log.find("Journal replay ended: "), log.rfind("Offline copy rebuilt (no copy yet): "));
}

namespace {

// Offline decisions on, the status listener on, and a copy that cannot be
// made: its new file's place is taken by a folder.
class OfflineCopyBlocked : public StatusListener {
protected:
    OfflineCopyBlocked()
    {
        m_offline = true;
        std::filesystem::create_directories(m_home / "offline/copy.db.new/taken");
    }
    std::map<std::string, std::string> Env() const
    {
        return {{"VELIXCARD_HOME", m_home.Path()}, {"VELIXCARD_REGISTRY", m_home / "r.reg"}};
    }
};

} // namespace

TEST_F(OfflineCopyBlocked, ACopyThatCannotBeMadeIsAWarningOnHealthzStatusAndCheck)
{
    ASSERT_TRUE(WaitFor([&] { return Log().find("Offline copy not refreshed (the new copy cannot be made: ") !=
                                     std::string::npos; },
                        15s))
        << Diagnostics();
    // The gates work: healthy, with the warning.
    EXPECT_TRUE(WaitFor([&] { return Get("/healthz").second.find("warning: the offline copy cannot be made: ") !=
                                     std::string::npos; },
                        10s))
        << Get("/healthz").second;
    EXPECT_EQ(Get("/healthz").first, 200);
    EXPECT_EQ(Get("/healthz").second.rfind("ok\n", 0), 0u);
    EXPECT_TRUE(Metric("velixcard_offline_refresh_failures_total 1") || Metric("velixcard_offline_refresh_failures_total 2"))
        << Get("/metrics").second;
    for (const char* command : {"STATUS", "CHECK"}) {
        SCOPED_TRACE(command);
        const auto out = testing_support::Run({VELIXCARD_BIN, command}, Env());
        EXPECT_NE(out.Out.find("Warning: the offline copy cannot be made: "), std::string::npos) << out.Out;
    }
}
