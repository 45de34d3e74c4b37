// A loop controller in this process on SQLite, with simulated devices on a
// pseudo-terminal: the periodic operations and the event handlers.
#include "config/MessLog.hpp"
#include "loop/Loop.hpp"
#include "platform/MainLoop.hpp"
#include "tools/devsim/DeviceSim.hpp"

#include "TestDb.hpp"
#include "TestLine.hpp"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;
using testing_support::WaitFor;

namespace {

class LoopEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_db = std::make_unique<TTestDatabase>(TDbFamily::SQLite);
        ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
        m_odbc.BindColumns = true;
        ASSERT_TRUE(m_db->Connect(m_odbc));
        ASSERT_TRUE(m_db->CreateSchema(m_odbc));
        for (const char* sql : {
                 "INSERT INTO loop (id, name, port, enabled) VALUES (3, 'x', 1, 1)",
                 "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 105, 100)",
                 "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, lf_enabled, lf_output, "
                 "lf_sign) VALUES (1, 3, 1, 1, 'Spitter', 1, 1, 2, 1)",
                 "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type) VALUES (2, 3, 1, 2, 'Exit', 2)",
                 "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type) VALUES (3, 3, 9, 3, 'Reader', 0)",
             })
            ASSERT_TRUE(m_db->Run(m_odbc, sql)) << sql;
        const auto& p = m_db->Params();
        testing_support::WriteFile(m_home / "r.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                                     "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
                                                     "\"ODBCDriver\"=\"SQLite3\"\r\n"
                                                     "\"Database\"=\"" + p.Database + "\"\r\n"
                                                     "\"ODBCOptions\"=\"" + p.Options + "\"\r\n");
        // The test binary's settings file is <home>/velix_tests.ini.
        testing_support::WriteFile(m_home / "velix_tests.ini",
                                   "[Settings]\r\nSync Readers every XX minutes=2\r\nSync Exit Reader=0\r\n");
        ::setenv("VELIXCARD_HOME", m_home.Path().c_str(), 1);
        ::setenv("VELIXCARD_REGISTRY", (m_home / "r.reg").c_str(), 1);
        m_pty = std::make_unique<testing_support::TPseudoTerminal>(m_home / "ports/COM1");
        m_sim = std::make_unique<tools::TDeviceSimulator>(m_pty->Master(), 115200, std::set<int>{1, 2, 3});
        m_log = std::make_unique<config::TMessLog>(m_home / "loop.log", config::TMessLog::TOptions{.NoHeader = true},
                                                   "");
        m_thread = std::thread([this] { m_main.Run(); });
        m_main.Invoke([this] { m_loop = std::make_unique<loop::TLoop>(*m_log, 3, m_main); });
        ASSERT_TRUE(m_loop && m_loop->Line && m_loop->Line->IsOpen()) << ReadFile(m_home / "loop.log");
    }

    void TearDown() override
    {
        m_main.Invoke([this] { m_loop.reset(); });
        m_main.Quit();
        m_thread.join();
        m_sim.reset();
        m_pty.reset();
        ::unsetenv("VELIXCARD_REGISTRY");
    }

    bool Received(int address, const std::string& data)
    {
        return testing_support::Received(*m_sim, address, data);
    }

    int Sent(char letter)
    {
        int n = 0;
        for (const auto& f : m_sim->Frames())
            n += !f.Data.empty() && f.Data[0] == letter;
        return n;
    }

    std::vector<std::string> Messages()
    {
        m_log->Log("");
        std::vector<std::string> out;
        for (const auto& l : SplitLines(ReadFile(m_home / "loop.log")))
            out.push_back(l.substr(24));
        return out;
    }

    TTempDir m_home;
    std::unique_ptr<TTestDatabase> m_db;
    db::TODBC m_odbc;
    std::unique_ptr<testing_support::TPseudoTerminal> m_pty;
    std::unique_ptr<tools::TDeviceSimulator> m_sim;
    std::unique_ptr<config::TMessLog> m_log;
    platform::TMainLoop m_main;
    std::thread m_thread;
    std::unique_ptr<loop::TLoop> m_loop;
};

} // namespace

TEST_F(LoopEvents, ClocksAreSetOnEverySecondMinuteForSpittersOnly)
{
    EXPECT_EQ(m_loop->SyncMinutes, 2);
    EXPECT_FALSE(m_loop->SyncExitReader);
    m_main.Invoke([this] { m_loop->SyncTimeDate(); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Sent('M'), 0) << "the first minute only counts";
    m_main.Invoke([this] { m_loop->SyncTimeDate(); });
    ASSERT_TRUE(WaitFor([&] { return Sent('M') == 1; }, 3s));
    for (const auto& f : m_sim->Frames())
        if (f.Data[0] == 'M') {
            EXPECT_EQ(f.Address, 1) << "exit readers are skipped with Sync Exit Reader off";
            EXPECT_EQ(f.Data.size(), 13u);
        }
    const auto m = Messages();
    const auto at = std::find(m.begin(), m.end(), "Automated Sync Of Time/Date to Spitters & Exit Readers");
    ASSERT_NE(at, m.end());
    EXPECT_EQ(*(at + 1), "  Done T/D Sync");
}

TEST_F(LoopEvents, ForcedGateIsSentOnceAndOverfullLotShowsZero)
{
    bool first = false, second = false, closed = false;
    m_main.Invoke([&] {
        first = m_loop->ForceGate(3, true);
        second = m_loop->ForceGate(3, true);
        closed = m_loop->ForceGate(3, false);
    });
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "already open: nothing sent";
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Received(3, "ODevice activated"));
    EXPECT_TRUE(Received(3, "XDefault message"));

    // The lot-full flags were raised at set-up; 105 of 100 is full and shows 0 free.
    m_main.Invoke([this] { m_loop->UpdateOutputs(); });
    EXPECT_TRUE(Received(1, "WA"));
    EXPECT_TRUE(Received(1, "L\x14" "1\r\x16" "0\\1\\1"));
    db::TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT lf_output_flag, lf_sign_flag FROM device WHERE id = 1"));
    EXPECT_EQ(s.AsInteger("lf_output_flag"), 0);
    EXPECT_EQ(s.AsInteger("lf_sign_flag"), 0);
}

TEST_F(LoopEvents, CounterEventsOutsideTheTableDoNothing)
{
    m_main.Invoke([this] {
        m_loop->CounterEvent(0, "10000");
        m_loop->CounterEvent(9, "10000");
        m_loop->CounterEvent(1, "A1");
    });
    const auto m = Messages();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(std::count_if(m.begin(), m.end(), [](const std::string& l) { return l.rfind("Counter event", 0) == 0; }),
              1);
    EXPECT_NE(std::find(m.begin(), m.end(), "Counter event Invalid input value: A1 = 1,1"), m.end());
}
