// Two loops of one started server, each on its own pseudo-terminal with a
// simulated reader, on MariaDB: a decision held up by a row lock on one loop
// holds up neither the other loop nor the main thread, one loop answers in
// arrival order, and a restart waits for the decisions under way.
#include "config/Format.hpp"
#include "db/ODBC.hpp"
#include "db/Transaction.hpp"
#include "loop/Loop.hpp"
#include "service/Startup.hpp"

#include "TestLoop.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace std::chrono_literals;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

class ParallelLoops : public testing_support::TSiteTest {
protected:
    void SetUp() override
    {
        TSiteTest::SetUp();
        if (HasFatalFailure())
            return;
        const std::string loopTable = loop::LoopTable(m_odbc);
        for (const std::string& sql : {
                 "INSERT INTO " + loopTable + " (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
                 "INSERT INTO " + loopTable + " (id, name, port, enabled) VALUES (5, 'gatepc', 2, 1)",
                 std::string("INSERT INTO settings (reset_dadid) VALUES (0)"),
                 std::string("INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 10, 100)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, dir_ection, open_pulse) "
                             "VALUES (1, 3, 1, 1, 'North', 3, 3)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, dir_ection, open_pulse) "
                             "VALUES (2, 3, 1, 2, 'North side', 3, 3)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, dir_ection, open_pulse) "
                             "VALUES (3, 5, 1, 1, 'South', 3, 3)"),
                 std::string("INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id) "
                             "VALUES (1, 1, 1, 1, 1)"),
                 std::string("INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, "
                             "day_7, day_8, day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, "
                             "'00:00:00', '00:00:00')"),
                 std::string("INSERT INTO a_l_range_device VALUES (1, 1)"),
                 std::string("INSERT INTO a_l_range_device VALUES (1, 2)"),
                 std::string("INSERT INTO a_l_range_device VALUES (1, 3)"),
                 std::string("INSERT INTO card (number, type_id, first_name) VALUES (1001, 1, 'Ann')"),
                 std::string("INSERT INTO card (number, type_id, first_name) VALUES (1002, 1, 'Bob')"),
                 std::string("INSERT INTO card (number, type_id, first_name) VALUES (1003, 1, 'Cy')"),
                 std::string("INSERT INTO messages (id, accepted) VALUES (1, 'Hi %f')"),
             })
            ASSERT_TRUE(Exec(sql)) << sql;
        testing_support::WriteFile(m_dir / "r.reg", testing_support::RegistryText(*m_db, "GATEPC"));
        testing_support::WriteFile(m_dir / "velix_tests.ini", "[Settings]\r\n");
        ::setenv("VELIXCARD_HOME", m_dir.Path().c_str(), 1);
        ::setenv("VELIXCARD_REGISTRY", (m_dir / "r.reg").c_str(), 1);
        for (const int port : {1, 2}) {
            m_ptys.push_back(std::make_unique<testing_support::TPseudoTerminal>(m_dir / ("ports/COM" + std::to_string(port))));
            m_sims.push_back(std::make_unique<tools::TDeviceSimulator>(m_ptys.back()->Master(), 115200,
                                                                       port == 1 ? std::set<int>{1, 2} : std::set<int>{1}));
        }
        m_thread = std::thread([this] { m_main.Run(); });
        bool started = false;
        m_main.Invoke([&] {
            m_timMain = std::make_unique<platform::TTimer>(m_main, 1h, [] {});
            m_server = std::make_unique<service::TServer>();
            started = m_server->StartUp(*m_timMain) && m_server->LoopList().size() == 2;
        });
        ASSERT_TRUE(started);
        ASSERT_TRUE(m_db->Connect(m_blocker));
    }

    void TearDown() override
    {
        m_held.reset();
        if (m_thread.joinable()) {
            m_main.Invoke([&] {
                if (m_server)
                    m_server->ShutDown(*m_timMain);
                m_server.reset();
                m_timMain.reset();
            });
            m_main.Quit();
            m_thread.join();
        }
        m_sims.clear();
        m_ptys.clear();
        ::unsetenv("VELIXCARD_REGISTRY");
    }

    // What the server's log holds; written out first unless the main thread is busy.
    std::string MainLog(bool writeOut = true)
    {
        if (writeOut)
            m_main.Invoke([&] {
                if (m_server && m_server->Log())
                    m_server->Log()->Log("");
            });
        return testing_support::LogFolderText(m_dir.Path());
    }
    tools::TDeviceSimulator& North() { return *m_sims[0]; }
    tools::TDeviceSimulator& South() { return *m_sims[1]; }

    // Holds the rows of these cards locked from another connection, so that a
    // decision that would change them waits (at its locking read), until Release().
    void Hold(const std::string& numbers)
    {
        m_held = std::make_unique<db::TTransaction>(m_blocker);
        // Worded apart from the decisions' updates: the server may still show a
        // statement in the process list for a moment after it has answered.
        ASSERT_TRUE(m_db->Run(m_blocker, "UPDATE /* hold */ card SET trans_dt = NULL WHERE number IN (" + numbers + ")"));
    }
    void Release() { m_held.reset(); }
    // Waits until this many decisions wait for the held rows.
    bool Waiting(int decisions)
    {
        return WaitFor(
            [&] {
                // The same user sees its own sessions without further rights.
                // Other tests run beside this one on the same server: this database's sessions only.
                return Value("SELECT COUNT(*) FROM information_schema.processlist WHERE db = '" +
                             m_db->Params().Database + "' and info LIKE 'SET STATEMENT %UPDATE card LEFT JOIN card_pool%'") ==
                       std::to_string(decisions);
            },
            4s);
    }
    // The gate answers (letter G) an address got, in order.
    static std::vector<std::string> Gates(tools::TDeviceSimulator& sim)
    {
        std::vector<std::string> out;
        for (const auto& f : sim.Frames())
            if (!f.Data.empty() && f.Data[0] == 'G')
                out.push_back(std::to_string(f.Address) + ":" + f.Data);
        return out;
    }
    int Int(const std::string& sql) { return config::TextToInt(Value(sql), -999); }

    std::vector<std::unique_ptr<testing_support::TPseudoTerminal>> m_ptys;
    std::vector<std::unique_ptr<tools::TDeviceSimulator>> m_sims;
    platform::TMainLoop m_main;
    std::thread m_thread;
    std::unique_ptr<platform::TTimer> m_timMain;
    std::unique_ptr<service::TServer> m_server;
    db::TODBC m_blocker;
    std::unique_ptr<db::TTransaction> m_held;
};

TEST_P(ParallelLoops, ADecisionHeldUpOnOneLoopHoldsUpNeitherTheOtherLoopNorTheMainThread)
{
    Hold("1001");
    North().Present(1, 'C', "1001");
    ASSERT_TRUE(Waiting(1)) << "North's decision waits for the held card row";

    South().Present(1, 'C', "1002");
    EXPECT_TRUE(testing_support::Received(South(), 1, "G003Hi Bob")) << "the other loop answers meanwhile";
    bool ticked = false;
    m_main.Invoke([&] {
        m_server->MainTick(*m_timMain);
        ticked = true;
    });
    EXPECT_TRUE(ticked) << "the main tick runs meanwhile";
    EXPECT_TRUE(Gates(North()).empty()) << "North is still waiting";

    Release();
    EXPECT_TRUE(testing_support::Received(North(), 1, "G003Hi Ann"));
    EXPECT_TRUE(WaitFor([&] { return Int("SELECT COUNT(*) FROM trans") == 2; }, 3s));
}

TEST_P(ParallelLoops, OneLoopAnswersInArrivalOrder)
{
    Hold("1001");
    North().Present(1, 'C', "1001");
    ASSERT_TRUE(Waiting(1));
    North().Present(2, 'C', "1003");
    // The poll thread acknowledges the second card while the first waits.
    EXPECT_TRUE(testing_support::Received(North(), 2, "B"));
    Release();
    EXPECT_TRUE(testing_support::Received(North(), 2, "G003Hi Cy"));
    EXPECT_EQ(Gates(North()), (std::vector<std::string>{"1:G003Hi Ann", "2:G003Hi Cy"})) << MainLog();
    EXPECT_EQ(Value("SELECT cardno FROM trans ORDER BY id"), "1001");
}

TEST_P(ParallelLoops, ARestartWaitsForTheDecisionsUnderWayOnEveryLoop)
{
    ASSERT_TRUE(Exec("UPDATE settings SET reset_dadid = 1"));
    Hold("1001, 1002");
    North().Present(1, 'C', "1001");
    South().Present(1, 'C', "1002");
    ASSERT_TRUE(Waiting(2));

    std::atomic<bool> stopped{false};
    m_main.Post([&] {
        m_server->MainTick(*m_timMain);
        stopped = m_server->LoopList().empty();
    });
    // The stop has begun and waits: its log line is written out before the loops go.
    EXPECT_TRUE(WaitFor(
        [&] {
            return MainLog(false).find("ShutDown...") != std::string::npos;
        },
        3s));
    Release();
    EXPECT_TRUE(WaitFor([&] { return stopped.load(); }, 5s));
    EXPECT_EQ(Gates(North()), std::vector<std::string>{"1:G003Hi Ann"});
    EXPECT_EQ(Gates(South()), std::vector<std::string>{"1:G003Hi Bob"});
    EXPECT_EQ(Int("SELECT COUNT(*) FROM trans"), 2) << "both decisions booked before the loops went";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Databases, ParallelLoops, ::testing::Values(TDbFamily::MariaDB),
                         testing_support::FamilyName);
