// The main timer's work on a started server (this computer's loop on a
// pseudo-terminal with simulated devices), driven with a clock of the test's
// choosing, on MariaDB and SQLite.
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "loop/Loop.hpp"
#include "service/Startup.hpp"

#include "TestLoop.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <ctime>
#include <filesystem>

using testing_support::At;
using namespace std::chrono_literals;
using testing_support::TDbFamily;

namespace {

// Wednesday 9 December 2026 (day code 3).
platform::TDateTime Wed(int h, int mi, int s = 0)
{
    return At(2026, 12, 9, h, mi, s);
}

class Housekeeping : public testing_support::TSiteTest {
protected:
    void SetUp() override
    {
        TSiteTest::SetUp();
        if (HasFatalFailure())
            return;
        const std::string loopTable = loop::LoopTable(m_odbc);
        for (const std::string& sql : {
                 "INSERT INTO " + loopTable + " (id, name, port, enabled) VALUES (3, 'gate''pc', 1, 1)",
                 "INSERT INTO " + loopTable + " (id, name, port, enabled) VALUES (4, 'otherpc', 2, 1)",
                 std::string("INSERT INTO settings (reset_dadid) VALUES (0)"),
                 std::string("INSERT INTO lot (id, lot_count) VALUES (1, 40)"),
                 std::string("INSERT INTO lot (id, lot_count) VALUES (2, 40)"),
                 std::string("INSERT INTO lot (id, lot_count, AUTO_R_COUNT, cnt_reset_flag) VALUES (3, 40, 1, 1)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, open_pulse, count1, count_soft) "
                             "VALUES (1, 3, 1, 1, 'Entry', 2.7, 4, 4)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, count1) VALUES (2, 3, 1, 2, 'Exit', 4)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, count1, count_soft) "
                             "VALUES (5, 4, 2, 1, 'Far', 4, 4)"),
                 std::string("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, count1) VALUES (6, 4, 3, 2, 'Far 2', 4)"),
                 std::string("INSERT INTO card (number, type_id, in_lot, in_gate) VALUES (1001, 1, 1, 5)"),
                 std::string("INSERT INTO card_pool (id, cur_inlot) VALUES (5, 7)"),
             })
            ASSERT_TRUE(Exec(sql)) << sql;
        testing_support::WriteFile(m_dir / "r.reg", testing_support::RegistryText(*m_db, "GATE'PC"));
        testing_support::WriteFile(m_dir / "velix_tests.ini", "[Settings]\r\n");
        ::setenv("VELIXCARD_HOME", m_dir.Path().c_str(), 1);
        ::setenv("VELIXCARD_REGISTRY", (m_dir / "r.reg").c_str(), 1);
        m_pty = std::make_unique<testing_support::TPseudoTerminal>(m_dir / "ports/COM1");
        m_sim = std::make_unique<tools::TDeviceSimulator>(m_pty->Master(), 115200, std::set<int>{1, 2});
        m_thread = std::thread([this] { m_main.Run(); });
        bool started = false;
        m_main.Invoke([&] {
            // Ticks come from the test only.
            m_timMain = std::make_unique<platform::TTimer>(m_main, 1h, [] {});
            m_server = std::make_unique<service::TServer>(service::TServerOptions{.Clock = [this] { return m_now.load(); }});
            started = m_server->StartUp(*m_timMain);
        });
        ASSERT_TRUE(started) << MainLog();
    }

    void TearDown() override
    {
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
        m_sim.reset();
        m_pty.reset();
        ::unsetenv("VELIXCARD_REGISTRY");
    }

    void OnMain(const std::function<void()>& fn) { m_main.Invoke(fn); }
    // Waits until what the loops were handed (remote opens, outputs) has run.
    void LoopsIdle()
    {
        OnMain([&] {
            for (auto& l : m_server->LoopList())
                l->Invoke([] {});
        });
    }
    // A stop and a start, as a restart of the process would make them.
    void Restart()
    {
        bool started = false;
        OnMain([&] {
            m_server->ShutDown(*m_timMain);
            m_server = std::make_unique<service::TServer>(service::TServerOptions{.Clock = [this] { return m_now.load(); }});
            started = m_server->StartUp(*m_timMain);
        });
        ASSERT_TRUE(started) << MainLog();
    }
    void Tick(platform::TDateTime now)
    {
        OnMain([&] {
            m_now = now;
            m_server->MainTick(*m_timMain);
        });
    }

    std::string MainLog() { return testing_support::LogFolderText(m_dir.Path()); }
    int Logged(const std::string& message)
    {
        OnMain([&] {
            if (m_server && m_server->Log())
                m_server->Log()->Log("");
        });
        int n = 0;
        for (const auto& l : testing_support::SplitLines(MainLog()))
            n += l.size() > 24 && l.substr(24) == message;
        return n;
    }

    int Int(const std::string& sql) { return config::TextToInt(Value(sql), -999); }
    int Sent(int address, char letter)
    {
        int n = 0;
        for (const auto& f : m_sim->Frames())
            n += f.Address == address && !f.Data.empty() && f.Data[0] == letter;
        return n;
    }

    std::unique_ptr<testing_support::TPseudoTerminal> m_pty;
    std::unique_ptr<tools::TDeviceSimulator> m_sim;
    platform::TMainLoop m_main;
    std::thread m_thread;
    std::unique_ptr<platform::TTimer> m_timMain;
    // The local clock the server judges by; ticks set it.
    std::atomic<platform::TDateTime> m_now{platform::NowDateTime()};
    std::unique_ptr<service::TServer> m_server;
};

} // namespace

TEST_P(Housekeeping, PlannedAndOneOffResets)
{
    struct TCase {
        const char* what;
        std::string settings;  // assignments for the settings row
        platform::TDateTime now;
        int inLot, inGate, pool;  // afterwards; 1, 5, 7 untouched
        const char* line;         // the "Auto Reset: " line, or nullptr
    };
    const std::string plan = "AUTO_RESET = 1, AUTO_RESET_PATHWAY = 1, reset_time = '03:15:00'";
    const TCase cases[] = {
        {"plan, in its minute", plan, Wed(3, 15, 59), 0, -1, 7, "Auto Reset: Passback Pathways "},
        {"plan, the minute after", plan, Wed(3, 16), 1, 5, 7, nullptr},
        {"plan without a time", "AUTO_RESET = 1, reset_time = NULL", Wed(0, 0), 1, 5, 7, nullptr},
        {"plan with a time beyond the day", "AUTO_RESET = 1, reset_time = '27:15:00'", Wed(3, 15), 1, 5, 7, nullptr},
        {"groups now, no plan", "AUTO_NOW_GRP = 1", Wed(10, 2, 30), 1, 5, 0, "Auto Reset: Groups "},
        {"passback now, groups planned", "AUTO_NOW = 1, AUTO_RESET_GROUP = 1, AUTO_RESET_PATHWAY = 1", Wed(10, 2),
         0, 5, 0, "Auto Reset: Passback "},
        {"both now", "AUTO_NOW = 1, AUTO_NOW_GRP = 1", Wed(10, 2), 0, 5, 0, "Auto Reset: Groups "},
        {"groups now with pathways planned", "AUTO_NOW_GRP = 1, AUTO_RESET_PATHWAY = 1", Wed(10, 2), 1, -1, 0,
         "Auto Reset: Groups "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Exec("UPDATE card SET in_lot = 1, in_gate = 5"));
        ASSERT_TRUE(Exec("UPDATE card_pool SET cur_inlot = 7"));
        ASSERT_TRUE(Exec("UPDATE settings SET AUTO_RESET = 0, AUTO_RESET_GROUP = 0, AUTO_RESET_PATHWAY = 0, "
                         "AUTO_NOW = 0, AUTO_NOW_GRP = 0, reset_time = NULL"));
        ASSERT_TRUE(Exec("UPDATE settings SET " + c.settings));
        const int lines = c.line ? Logged(c.line) : 0;
        OnMain([&] { m_server->AutoResetTask(c.now); });
        EXPECT_EQ(Int("SELECT in_lot FROM card"), c.inLot);
        EXPECT_EQ(Int("SELECT in_gate FROM card"), c.inGate);
        EXPECT_EQ(Int("SELECT cur_inlot FROM card_pool"), c.pool);
        EXPECT_EQ(Int("SELECT AUTO_NOW + AUTO_NOW_GRP FROM settings"), 0) << "one-off requests are cleared";
        if (c.line) {
            EXPECT_EQ(Logged(c.line), lines + 1);
        }
    }
}

TEST_P(Housekeeping, TicksRunResetsOnANewMinuteAndTheDevicePassEveryEighth)
{
    ASSERT_TRUE(Exec("UPDATE settings SET AUTO_RESET = 1, reset_time = '03:15:00'"));
    ASSERT_TRUE(Exec("UPDATE device SET perm_open = 1 WHERE id = 1"));
    Tick(Wed(3, 14, 59));
    EXPECT_EQ(Int("SELECT in_lot FROM card"), 1);
    Tick(Wed(3, 15, 0));
    EXPECT_EQ(Int("SELECT in_lot FROM card"), 0) << "the first tick of the minute resets";
    ASSERT_TRUE(Exec("UPDATE card SET in_lot = 1"));
    for (int s = 1; s <= 5; ++s)
        Tick(Wed(3, 15, s * 7));
    EXPECT_EQ(Int("SELECT in_lot FROM card"), 1) << "not again in the same minute";
    EXPECT_EQ(Int("SELECT gate_up FROM device WHERE id = 1"), 0) << "seven ticks: no device pass yet";
    Tick(Wed(3, 15, 50));
    EXPECT_EQ(Int("SELECT gate_up FROM device WHERE id = 1"), 1) << "the eighth tick holds the gate";
    EXPECT_TRUE(testing_support::Received(*m_sim, 1, "ODevice activated"));
    Tick(Wed(3, 16, 0));
    EXPECT_EQ(Int("SELECT in_lot FROM card"), 1);
    EXPECT_EQ(Logged("Auto Reset: Passback "), 1);
}

namespace {

using TWallClock = std::chrono::system_clock;

TWallClock::time_point Utc(int year, int month, int day, int hour, int minute, int second = 0)
{
    return testing_support::InstantAt(testing_support::TFieldsIn::Utc, year, month, day, hour, minute, second);
}

struct TStep {
    enum TKind { Tick, Restart, Break, Mend } Kind;
    TWallClock::time_point At{};
};

// Ticks from one instant to another, a given time apart.
std::vector<TStep> Ticks(TWallClock::time_point from, TWallClock::time_point to,
                         std::chrono::milliseconds every = std::chrono::minutes(1))
{
    std::vector<TStep> out;
    for (auto t = from; t <= to; t += every)
        out.push_back({TStep::Tick, t});
    return out;
}

std::vector<TStep> operator+(std::vector<TStep> a, const std::vector<TStep>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<TStep> kRestart{{TStep::Restart}}, kBreak{{TStep::Break}}, kMend{{TStep::Mend}};

// Sets TZ for one scope, so local times follow that zone's real rules.
class TZone {
public:
    explicit TZone(const char* zone)
    {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TZone()
    {
        ::unsetenv("TZ");
        ::tzset();
    }
};

} // namespace

TEST_P(Housekeeping, PlannedTasksRunOnceADayWhateverTheClockDoes)
{
    struct TCase {
        const char* what;
        const char* zone;
        const char* planned;  // the time of the passback reset, the lot count and the device counts
        std::vector<TStep> steps;
        // When each of the three tasks ran: between first and second, once per pair.
        std::vector<std::pair<TWallClock::time_point, TWallClock::time_point>> runs;
    };
    const auto once = [](TWallClock::time_point t) { return std::make_pair(t, t); };
    const TCase cases[] = {
        {"spring forward, Berlin, planned in the skipped hour", "Europe/Berlin", "02:30:00",
         Ticks(Utc(2026, 3, 29, 0, 50), Utc(2026, 3, 29, 2, 0)), {once(Utc(2026, 3, 29, 1, 0))}},
        {"fall back, Berlin, planned in the repeated hour", "Europe/Berlin", "02:30:00",
         Ticks(Utc(2026, 10, 25, 0, 0), Utc(2026, 10, 25, 2, 0)), {once(Utc(2026, 10, 25, 0, 30))}},
        {"spring forward, New York, planned in the skipped hour", "America/New_York", "02:15:00",
         Ticks(Utc(2026, 3, 8, 6, 30), Utc(2026, 3, 8, 8, 0)), {once(Utc(2026, 3, 8, 7, 0))}},
        {"fall back, New York, planned in the repeated hour", "America/New_York", "01:30:00",
         Ticks(Utc(2026, 11, 1, 5, 0), Utc(2026, 11, 1, 7, 0)), {once(Utc(2026, 11, 1, 5, 30))}},
        {"clock set back an hour after the run", "Europe/Berlin", "03:15:00",
         Ticks(Utc(2026, 12, 9, 2, 10), Utc(2026, 12, 9, 2, 20)) + Ticks(Utc(2026, 12, 9, 1, 20), Utc(2026, 12, 9, 2, 40)),
         {once(Utc(2026, 12, 9, 2, 15))}},
        {"database failing at the minute, back 40 s later", "Europe/Berlin", "03:15:00",
         Ticks(Utc(2026, 12, 9, 2, 14), Utc(2026, 12, 9, 2, 14)) + kBreak +
             Ticks(Utc(2026, 12, 9, 2, 15), Utc(2026, 12, 9, 2, 15, 39), std::chrono::milliseconds(750)) + kMend +
             Ticks(Utc(2026, 12, 9, 2, 15, 40), Utc(2026, 12, 9, 2, 20), std::chrono::milliseconds(750)),
         {{Utc(2026, 12, 9, 2, 15, 40), Utc(2026, 12, 9, 2, 15, 47)}}},
        {"restart right after the run", "Europe/Berlin", "03:15:00",
         Ticks(Utc(2026, 12, 9, 2, 14), Utc(2026, 12, 9, 2, 15)) + kRestart +
             Ticks(Utc(2026, 12, 9, 2, 15, 30), Utc(2026, 12, 9, 2, 40)),
         {once(Utc(2026, 12, 9, 2, 15))}},
        {"started two hours late: the next day", "Europe/Berlin", "03:15:00",
         Ticks(Utc(2026, 12, 9, 4, 15), Utc(2026, 12, 9, 4, 30)) + Ticks(Utc(2026, 12, 10, 2, 10), Utc(2026, 12, 10, 2, 20)),
         {once(Utc(2026, 12, 10, 2, 15))}},
        {"started ten minutes late", "Europe/Berlin", "03:15:00", Ticks(Utc(2026, 12, 9, 2, 25), Utc(2026, 12, 9, 2, 40)),
         {once(Utc(2026, 12, 9, 2, 25))}},
        {"planned before midnight, started late, past midnight", "Europe/Berlin", "23:50:00",
         Ticks(Utc(2026, 12, 9, 22, 55), Utc(2026, 12, 9, 23, 55)), {once(Utc(2026, 12, 9, 22, 55))}},
    };
    const std::string planFile = m_dir / "planned-tasks.state";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TZone zone(c.zone);
        std::filesystem::remove(planFile);
        Restart();
        ASSERT_TRUE(Exec(config::Format("UPDATE settings SET AUTO_RESET = 1, reset_time = '%s'", c.planned)));
        ASSERT_TRUE(Exec(config::Format("UPDATE lot SET AUTO_R_COUNT = 1, auto_r_time = '%s', reset_amt = 5, "
                                        "cnt_reset_flag = 1, cnt_reset_time = '%s', cnt_reset_amt = 0 WHERE id = 1",
                                        c.planned, c.planned)));
        std::map<std::string, std::vector<TWallClock::time_point>> ran;
        for (const auto& step : c.steps) {
            if (step.Kind == TStep::Restart) {
                Restart();
            } else if (step.Kind == TStep::Break || step.Kind == TStep::Mend) {
                const bool away = step.Kind == TStep::Break;
                for (const char* table : {"settings", "lot"})
                    ASSERT_TRUE(Exec(config::Format("ALTER TABLE %s%s RENAME TO %s%s", table, away ? "" : "_away",
                                                    table, away ? "_away" : "")));
            } else {
                OnMain([&] {
                    m_now = platform::EncodeDateTime(platform::ToLocal(step.At));
                    m_server->Database()->OnExec = [&](const std::string& sql) {
                        for (const char* task : {"UPDATE card SET", "UPDATE lot SET lot_count", "UPDATE device SET count1"})
                            if (sql.rfind(task, 0) == 0)
                                ran[task].push_back(step.At);
                    };
                    m_server->MainTick(*m_timMain);
                    m_server->Database()->OnExec = nullptr;
                });
            }
        }
        for (const char* task : {"UPDATE card SET", "UPDATE lot SET lot_count", "UPDATE device SET count1"}) {
            SCOPED_TRACE(task);
            const auto& times = ran[task];
            ASSERT_EQ(times.size(), c.runs.size());
            for (std::size_t i = 0; i < times.size(); ++i) {
                EXPECT_GE(times[i], c.runs[i].first);
                EXPECT_LE(times[i], c.runs[i].second);
            }
        }
    }
}

TEST_P(Housekeeping, EveryLotIsResetInItsMinute)
{
    ASSERT_TRUE(Exec("UPDATE lot SET AUTO_R_COUNT = 1, auto_r_time = '06:00:00', reset_amt = 5 WHERE id IN (1, 2)"));
    ASSERT_TRUE(Exec("UPDATE lot SET cnt_reset_flag = 1, cnt_reset_time = '06:00:00', cnt_reset_amt = 0 WHERE id = 2"));
    OnMain([&] { m_server->LotCountReset(Wed(5, 59, 59)); });
    EXPECT_EQ(Int("SELECT SUM(lot_count) FROM lot"), 120);
    OnMain([&] { m_server->LotCountReset(Wed(6, 0, 30)); });
    EXPECT_EQ(Int("SELECT lot_count FROM lot WHERE id = 1"), 5);
    EXPECT_EQ(Int("SELECT lot_count FROM lot WHERE id = 2"), 5) << "a lot of another computer's loop too";
    EXPECT_EQ(Int("SELECT count1 + count_soft FROM device WHERE id = 5"), 0);
    EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 1"), 4) << "lot 1 has no count reset";
    EXPECT_EQ(Int("SELECT lot_count FROM lot WHERE id = 3"), 40) << "flags without times reset nothing";
    EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 6"), 4);
}

TEST_P(Housekeeping, ScheduleWindowsByDayCode)
{
    struct TCase {
        const char* start;
        const char* end;
        platform::TDateTime t;
        bool inside;
    };
    const TCase cases[] = {
        {"08:00:00", "17:00:00", Wed(8, 0), true},     {"08:00:00", "17:00:00", Wed(17, 0), true},
        {"08:00:00", "17:00:00", Wed(17, 0, 1), false}, {"08:00:00", "17:00:00", Wed(7, 59, 59), false},
        {"22:00:00", "06:00:00", Wed(23, 0), true},    {"22:00:00", "06:00:00", Wed(5, 59), true},
        {"22:00:00", "06:00:00", Wed(6, 0, 1), false},  {"22:00:00", "06:00:00", Wed(12, 0), false},
        {"10:00:00", "10:00:00", Wed(10, 0), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + "-" + c.end + " at " + std::to_string(c.t));
        ASSERT_TRUE(Exec("DELETE FROM gateoc"));
        ASSERT_TRUE(Exec(config::Format("INSERT INTO gateoc VALUES (1, 3, '%s', '%s')", c.start, c.end)));
        ASSERT_TRUE(Exec("INSERT INTO gateoc VALUES (1, 4, '00:00:00', '23:59:59')"));
        bool inside = !c.inside;
        OnMain([&] { inside = m_server->InScheduleWindow(1, 3, c.t); });
        EXPECT_EQ(inside, c.inside);
    }
    if (GetParam() == TDbFamily::SQLite) {
        // A time stored with a date part is no time of day and never matches.
        ASSERT_TRUE(Exec("DELETE FROM gateoc"));
        ASSERT_TRUE(Exec("INSERT INTO gateoc VALUES (1, 3, '2026-12-09 22:00:00', '2026-12-09 06:00:00')"));
        bool inside = true;
        OnMain([&] { inside = m_server->InScheduleWindow(1, 3, Wed(12, 0)); });
        EXPECT_FALSE(inside);
    }

    ASSERT_TRUE(Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-24', 2)"));
    ASSERT_TRUE(Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-25', 1)"));
    std::vector<int> codes;
    OnMain([&] {
        for (const int day : {7, 9, 13, 24, 25})
            codes.push_back(service::DayCode(*m_server->Database(), At(2026, 12, day, 12, 0)));
    });
    EXPECT_EQ(codes, (std::vector<int>{1, 3, 7, 9, 8})) << "Monday 1, Wednesday 3, Sunday 7, holidays 9 and 8";
}

TEST_P(Housekeeping, DevicePassHoldsGatesAndCarriesOutRemoteOpens)
{
    // Perm_open: one command per change.
    ASSERT_TRUE(Exec("UPDATE device SET perm_open = 1 WHERE id = 1"));
    OnMain([&] { m_server->DevicePass(); });
    OnMain([&] { m_server->DevicePass(); });
    ASSERT_TRUE(Exec("UPDATE device SET perm_open = 0 WHERE id = 1"));
    OnMain([&] { m_server->DevicePass(); });
    EXPECT_TRUE(testing_support::Received(*m_sim, 1, "XDefault message"));
    EXPECT_EQ(Sent(1, 'O'), 1);
    EXPECT_EQ(Int("SELECT gate_up FROM device WHERE id = 1"), 0);
    EXPECT_NE(Value("SELECT lastupdate FROM " + loop::LoopTable(m_odbc) + " WHERE id = 3"), "")
        << "this computer's heartbeat";
    EXPECT_EQ(Value("SELECT lastupdate FROM " + loop::LoopTable(m_odbc) + " WHERE id = 4"), "");

    // Device 2 is held by a window of today's day code; both ask for an open.
    const platform::TDateTime now = platform::NowDateTime();
    ASSERT_TRUE(Exec(config::Format("INSERT INTO gateoc VALUES (2, %d, '00:00:00', '23:59:59')",
                                    [&] {
                                        int code = 0;
                                        OnMain([&] { code = service::DayCode(*m_server->Database(), now); });
                                        return code;
                                    }())));
    ASSERT_TRUE(Exec("UPDATE device SET open_flag = 1"));
    OnMain([&] { m_server->RemoteOpenCheck(); });
    LoopsIdle();
    EXPECT_TRUE(testing_support::Received(*m_sim, 1, "G002Manual Open"));
    EXPECT_TRUE(testing_support::Received(*m_sim, 2, "ODevice activated"));
    EXPECT_EQ(Int("SELECT gate_up FROM device WHERE id = 2"), 1);
    EXPECT_EQ(Int("SELECT open_flag FROM device WHERE id IN (1, 2) GROUP BY open_flag"), 0) << "both cleared";
    EXPECT_EQ(Int("SELECT COUNT(*) FROM trans WHERE error_code = 999"), 1) << "the held gate is not pulsed";
    EXPECT_EQ(Int("SELECT device_id FROM trans"), 1);
    EXPECT_EQ(Int("SELECT open_flag FROM device WHERE id = 5"), 1) << "another computer's flag is left alone";

    // No loops of this computer by name (a POE/POF loop alone): the remote check asks nothing.
    ASSERT_TRUE(Exec("UPDATE " + loop::LoopTable(m_odbc) + " SET name = 'POE/POF', enabled = 0"));
    Restart();
    ASSERT_TRUE(m_server->LoopIds().empty());
    std::vector<std::string> statements;
    OnMain([&] {
        m_server->Database()->OnExec = [&](const std::string& sql) { statements.push_back(sql); };
        m_server->RemoteOpenCheck();
        m_server->Database()->OnExec = nullptr;
    });
    EXPECT_TRUE(statements.empty());
}

TEST_P(Housekeeping, DevicePassAsksTheSameFewQueriesHoweverManyDevices)
{
    const auto statements = [&] {
        std::size_t n = 0;
        OnMain([&] {
            m_server->Database()->OnExec = [&](const std::string&) { ++n; };
            m_server->DevicePass();
            m_server->Database()->OnExec = nullptr;
        });
        return n;
    };
    const std::size_t two = statements();
    for (int id = 100; id < 130; ++id)
        ASSERT_TRUE(Exec(config::Format("INSERT INTO device (id, loop_id, addr_ess, name) VALUES (%d, 3, 9, 'More')", id)));
    ASSERT_TRUE(Exec("INSERT INTO gateoc VALUES (120, 1, '00:00:00', '00:00:01')"));
    EXPECT_EQ(statements(), two) << "heartbeat, holiday, today's windows, the devices";
    EXPECT_EQ(two, 4u);
}

TEST_P(Housekeeping, ServerFreedWithoutShutDownGoesInOrder)
{
    // Members go in reverse order of declaration: the loops and the connection
    // manager before the binding it points at, the log last.
    OnMain([&] { m_server.reset(); });
    const auto lines = testing_support::SplitLines(MainLog());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().substr(lines.back().size() > 24 ? 24 : 0), "End Log");
}

INSTANTIATE_TEST_SUITE_P(Databases, Housekeeping, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
