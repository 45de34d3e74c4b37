// The service's list of site tables and columns against the shipped schemas,
// and a whole site made from that list alone: every statement the service
// runs must work on it, on MariaDB and SQLite.
#include "config/Format.hpp"
#include "db/ODBC.hpp"
#include "db/SiteColumns.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "platform/Metrics.hpp"
#include "service/Startup.hpp"

#include "TestLoop.hpp"
#include "TestMail.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <httplib.h>

#include <cmath>
#include <filesystem>

using namespace std::chrono_literals;
using testing_support::At;
using testing_support::ReadFile;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

constexpr double kMinute = 1.0 / 1440;

class ShippedSchema : public testing_support::TSiteTest {};

} // namespace

TEST_P(ShippedSchema, HoldsEveryListedColumn)
{
    for (const db::TSiteTable& table : db::SiteTables()) {
        db::TODBCStatement s(m_odbc);
        const std::string present = "," + config::LowerCase(s.ListColumns(std::string(table.Name))) + ",";
        for (const db::TSiteColumn& c : table.Columns)
            EXPECT_NE(present.find("," + config::LowerCase(c.Name) + ","), std::string::npos)
                << table.Name << "." << c.Name << " is not in the shipped schema: " << present;
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, ShippedSchema, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);

namespace {

// Wednesday 9 December 2026 (day code 3): the main timer's clock.
platform::TDateTime Wed(int h, int mi, int s = 0)
{
    return At(2026, 12, 9, h, mi, s);
}

// The barcode an exit reads: seconds since 1999-12-31 and the lane.
std::string ExitBarcode(platform::TDateTime issued, int lane)
{
    return config::Format("%010lld%02d", std::llround((issued - platform::EncodeDate(1999, 12, 31)) * 86400), lane);
}

// A spitter's issue record: on line, not backed out, the two-year form of the
// barcode (seconds since 1 January of the even year) and the ticket number.
std::string IssueRecord(platform::TDateTime issued, int lane, int ticket)
{
    const int year = platform::DecodeDateTime(issued).Year;
    const int base = year % 2 == 0 ? year : year - 1;
    const long long seconds = std::llround((issued - platform::EncodeDate(base, 1, 1)) * 86400);
    return config::Format("0%08lld%02d%06d", 20000000 + seconds, lane, ticket);
}

// A reader's memory record: YYMMDDhhmm of the passage, then the card.
std::string MemoryRecord(platform::TDateTime passed, const std::string& card)
{
    const auto t = platform::DecodeDateTime(passed);
    return config::Format("%.2d%.2d%.2d%.2d%.2d", t.Year - 2000, t.Month, t.Day, t.Hour, t.Minute) + card;
}

// A started server on a site made from the list alone: the required and
// start-up columns, all nullable, no defaults, and rows that leave NULL what
// a site leaves NULL. Loop 3 of computer gatepc on a pseudo-terminal: entry
// reader 1 (counters, door and fire inputs, lot-full output and sign), exit
// reader 2 (held open by the schedule), spitter 3 (remote opens), lift reader 4.
class ListedSite : public ::testing::TestWithParam<TDbFamily> {
protected:
    void SetUp() override
    {
        m_db = std::make_unique<testing_support::TTestDatabase>(GetParam());
        ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
        ASSERT_TRUE(m_db->Connect(m_odbc));
        ASSERT_TRUE(m_db->CreateListedSchema(m_odbc)) << m_odbc.LastDiagnostic;
        for (const std::string& sql : SiteRows())
            ASSERT_TRUE(Exec(sql)) << sql << "\n" << m_odbc.LastDiagnostic;
        m_listen = testing_support::RefusingPort();
        testing_support::WriteFile(
            m_dir / "r.reg",
            testing_support::RegistryText(*m_db) + "\"StatusListen\"=\"127.0.0.1:" + std::to_string(m_listen) +
                "\"\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
                "\"ComputerName\"=\"gatepc\"\r\n");
        testing_support::WriteFile(m_dir / "velix_tests.ini", "[Settings]\r\n");
        ::setenv("VELIXCARD_HOME", m_dir.Path().c_str(), 1);
        ::setenv("VELIXCARD_REGISTRY", (m_dir / "r.reg").c_str(), 1);
        m_pty = std::make_unique<testing_support::TPseudoTerminal>(m_dir / "ports/COM1");
        m_sim = std::make_unique<tools::TDeviceSimulator>(m_pty->Master(), 115200, std::set<int>{1, 2, 3, 4});
        m_sim->SetCounter(1, "00000");
        m_failedBefore = platform::Metrics().Value("velixcard_failed_statements_total");
        m_thread = std::thread([this] { m_main.Run(); });
        bool started = false;
        OnMain([&] {
            m_timMain = std::make_unique<platform::TTimer>(m_main, 1h, [] {});  // ticks come from the test
            m_server = std::make_unique<service::TServer>(service::TServerOptions{.Clock = [this] { return m_now.load(); }});
            started = m_server->StartUp(*m_timMain);
        });
        ASSERT_TRUE(started) << Log();
    }

    void TearDown() override
    {
        if (m_thread.joinable()) {
            StopServer();
            m_main.Quit();
            m_thread.join();
        }
        m_sim.reset();
        m_pty.reset();
        ::unsetenv("VELIXCARD_REGISTRY");
    }

    std::vector<std::string> SiteRows() const
    {
        const std::string fiveMinutesAgo = db::DateTimeEscape(platform::NowDateTime() - 5 * kMinute);
        return {
            "INSERT INTO " + loop::LoopTable(m_odbc) + " (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
            "INSERT INTO settings (reset_dadid, AUTO_RESET, AUTO_RESET_GROUP, AUTO_RESET_PATHWAY, reset_time, soft_pb) "
            "VALUES (0, 1, 1, 1, '03:15:00', 1)",
            "INSERT INTO lot (id, lot_count, max_capacity, AUTO_R_COUNT, auto_r_time, reset_amt, cnt_reset_flag, "
            "cnt_reset_time, cnt_reset_amt) VALUES (1, 10, 100, 1, '03:15:00', 5, 1, '03:15:00', 0)",
            "INSERT INTO lot (id) VALUES (2)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse, debit_flag, "
            "count1, count2, count3, count4, count5, count_soft, lf_enabled, lf_output, lf_sign, door_input, "
            "ajar_timer, ajar_output, fire_input, fire_flag) "
            "VALUES (1, 3, 1, 1, 'Entry', 0, 1, 3, 1, 0, 0, 0, 0, 0, 0, 1, 2, 1, 1, 0, 3, 2, 1)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse) "
            "VALUES (2, 3, 1, 2, 'Exit', 2, 2, 2)",
            "INSERT INTO device (id, loop_id, addr_ess, name, device_type, dir_ection, open_pulse, remote_user, "
            "remote_ip) VALUES (3, 3, 3, 'Spitter', 1, 1, 4, 'ops', '10.0.0.9')",
            "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse, special_out) "
            "VALUES (4, 3, 4, 'Lift', 3, 2.5, 1)",
            "INSERT INTO messages (id, idle, gateup, accepted, not_on_file, access, inac_tive, passback, max_group, "
            "not_on_path) VALUES (1, 'Welcome', 'Open', 'Hello %f %l', 'No card %c', 'No access', 'Expired', "
            "'Again %f', 'Group full', 'Wrong way')",
            "INSERT INTO messages (id, accepted) VALUES (2, 'Debit %d left')",
            "INSERT INTO card_type (id, access_level_id, no_expiry_flg) VALUES (1, 1, 1)",
            "INSERT INTO card_type (id, access_level_id, no_expiry_flg) VALUES (2, 2, 1)",
            "INSERT INTO card_type (id, access_level_id, no_expiry_flg, pathway_id, ignore_passback) "
            "VALUES (3, 1, 1, 7, 1)",
            "INSERT INTO card_type (id, access_level_id, msg_id, debit_flg, ignore_passback) VALUES (4, 1, 2, 1, 1)",
            "INSERT INTO card_type (id, access_level_id, first_use_flg, days, ignore_passback) VALUES (5, 1, 1, 30, 1)",
            "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
            "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
            "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 1)",
            "INSERT INTO a_l_range_device (a_l_range_id, device_id) VALUES (1, 4)",
            "INSERT INTO holiday (holi_day, tab_num) VALUES ('2026-12-25', 2)",
            "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (5, 1, 1)",
            "INSERT INTO pathway_ft (pathway_id, from_device, to_device, time_limit) VALUES (7, 4, 1, 15)",
            "INSERT INTO spots (number, floor) VALUES (7, 2)",
            "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
            "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (1, 2, 1, 1)",
            "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (1, 3, 1, 2)",
            "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (1, 7, 1, 1)",
            "INSERT INTO gateoc (device_id, dayofweek, start_time, end_time) VALUES (2, 3, '03:00:00', '04:00:00')",
            "INSERT INTO card (number, type_id, first_name) VALUES (1001, 1, 'Ann')",
            "INSERT INTO card (number, type_id) VALUES (1002, 2)",
            "INSERT INTO card (number, type_id, first_name, in_lot) VALUES (1003, 1, 'Bob', 1)",
            "INSERT INTO card (number, type_id, group_id) VALUES (1004, 1, 5)",
            "INSERT INTO card (number, type_id, first_name, in_gate, trans_dt) VALUES (1005, 3, 'Cy', 4, " +
                fiveMinutesAgo + ")",
            "INSERT INTO card (number, type_id, debit_left, start_dt) VALUES (1006, 4, 3, {ts '2020-01-01 00:00:00'})",
            "INSERT INTO card (number, type_id) VALUES (1007, 5)",
            "INSERT INTO card (number, type_id, space_no) VALUES (1008, 1, 7)",
        };
    }

    void OnMain(const std::function<void()>& fn) { m_main.Invoke(fn); }
    void Tick(platform::TDateTime now)
    {
        OnMain([&] {
            m_now = now;
            m_server->MainTick(*m_timMain);
        });
        // What the tick handed the loops (remote opens, outputs) has run.
        OnMain([&] {
            for (auto& l : m_server->LoopList())
                l->Invoke([] {});
        });
    }
    void StopServer()
    {
        OnMain([&] {
            if (m_server)
                m_server->ShutDown(*m_timMain);
            m_server.reset();
            m_timMain.reset();
        });
    }

    bool Exec(const std::string& sql) { return m_db->Run(m_odbc, sql); }
    // The first column of the first row as text; "(no row)" when there is none.
    std::string Value(const std::string& sql)
    {
        db::TODBCStatement s(m_odbc);
        return s.Exec(sql) && !s.Columns().empty() ? s.AsString(s.Columns()[0].Name) : "(no row)";
    }
    bool Becomes(const std::string& sql, const std::string& value)
    {
        return WaitFor([&] { return Value(sql) == value; }, 10s);
    }
    bool Received(int address, const std::string& data)
    {
        return testing_support::Received(*m_sim, address, data, 5s);
    }
    // What the address received beyond polls and acknowledgements, for a failure.
    std::string Commands(int address)
    {
        std::string out;
        for (const auto& f : m_sim->Frames())
            if (f.Address == address && f.Data.size() > 1 && f.Data != "R" && f.Data != "I")
                out += "|" + f.Data;
        return out;
    }
    int Polls(int address, const std::string& data)
    {
        int n = 0;
        for (const auto& f : m_sim->Frames())
            n += f.Address == address && f.Data == data;
        return n;
    }
    std::string Log()
    {
        OnMain([&] {
            if (m_server && m_server->Log())
                m_server->Log()->Log("");
        });
        return testing_support::LogFolderText(m_dir.Path());
    }
    bool Logged(const std::string& message)
    {
        for (const auto& line : testing_support::SplitLines(Log()))
            if (line.size() > 24 && line.substr(24) == message)
                return true;
        return false;
    }
    std::string Get(const std::string& path)
    {
        httplib::Client client("127.0.0.1", m_listen);
        client.set_connection_timeout(2);
        client.set_read_timeout(5);
        const auto r = client.Get(path.c_str());
        return r && r->status == 200 ? r->body : "(status " + std::to_string(r ? r->status : -1) + ")";
    }
    std::map<std::string, std::string> Env() const
    {
        return {{"VELIXCARD_HOME", m_dir.Path()}, {"VELIXCARD_REGISTRY", m_dir / "r.reg"}};
    }

    testing_support::TTempDir m_dir;
    std::unique_ptr<testing_support::TTestDatabase> m_db;
    db::TODBC m_odbc;
    int m_listen = 0;
    double m_failedBefore = 0;
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

TEST_P(ListedSite, EveryStatementRunsOnTheListedColumnsAlone)
{
    // Decisions of every kind, each answered and booked.
    struct TCase {
        const char* what;
        int address;
        std::string card;
        std::string answer;
        int code;
    };
    const TCase cases[] = {
        {"accepted", 1, "1001", "G003Hello Ann", 0},
        {"not on file", 1, "4242", "BNo card 4242", 1},
        {"no time range", 1, "1002", "BNo access", 2},
        {"soft passback", 1, "1003", "G003Again Bob", 12},
        {"group full", 1, "1004", "BGroup full", 5},
        {"on its pathway", 1, "1005", "G003Hello Cy", 0},
        {"debit", 1, "1006", "G003Debit 2 left", 0},
        {"first use", 1, "1007", "G003Hello", 0},
        {"lift to floor 2", 4, "1008", "BGoing Up!", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_sim->Present(c.address, 'C', c.card);
        EXPECT_TRUE(Received(c.address, c.answer)) << Commands(c.address);
        EXPECT_TRUE(Becomes("SELECT error_code FROM trans WHERE cardno = " + c.card, std::to_string(c.code)));
    }
    EXPECT_TRUE(Received(4, "PB20")) << "floor 2 pulses output 3";
    EXPECT_EQ(Value("SELECT in_gate FROM card WHERE number = 1005"), "-1") << "the pathway ends at the entry";
    EXPECT_EQ(Value("SELECT debit_left FROM card WHERE number = 1006"), "2");
    EXPECT_EQ(Value("SELECT date_set FROM card WHERE number = 1007"), "1");
    EXPECT_EQ(Value("SELECT in_lot FROM card WHERE number = 1001"), "1");

    // A memory record, an exit barcode, a spitter's issue record and its printer.
    const platform::TDateTime now = platform::NowDateTime();
    m_sim->Present(1, 'M', MemoryRecord(now - 2 * kMinute, "1001"));
    EXPECT_TRUE(Becomes("SELECT COUNT(*) FROM trans WHERE mem_flag = 1", "1"));
    const std::string barcode = ExitBarcode(now - 3 * kMinute, 1);
    m_sim->Present(2, '#', barcode);
    EXPECT_TRUE(Received(2, "G002Thank you..."));
    EXPECT_TRUE(Becomes("SELECT status FROM tickinv WHERE barcode = '" + barcode + "'", "2"));
    m_sim->Present(3, 'C', IssueRecord(now - kMinute, 5, 123));
    EXPECT_TRUE(Received(3, "Y"));
    EXPECT_TRUE(Becomes("SELECT COUNT(*) FROM tickinv WHERE ticket = 123 and issuerid = 5", "1"));
    m_sim->Present(3, 'J', "6");
    EXPECT_TRUE(Becomes("SELECT ptr_paper FROM device WHERE id = 3", "3"));

    // Counters: the poll's baseline, the lot counter's baseline, then a change
    // that adds to the lot through one rule and takes from it through another.
    ASSERT_TRUE(WaitFor([&] { return Polls(1, "R") >= 2; }, 10s)) << "no counter polls";
    m_sim->SetCounter(1, "10000");
    ASSERT_TRUE(WaitFor([&] { return Log().find("Counter event Entry input value: 10000") != std::string::npos; }, 10s));
    m_sim->SetCounter(1, "21000");
    EXPECT_TRUE(Becomes("SELECT count2 FROM device WHERE id = 1", "1"));
    EXPECT_TRUE(Becomes("SELECT count1 FROM device WHERE id = 1", "1"));

    // Door and fire inputs raised, then cleared.
    m_sim->SetInput(1, "C");
    EXPECT_TRUE(Becomes("SELECT door_ajar FROM device WHERE id = 1", "1"));
    EXPECT_TRUE(Becomes("SELECT perm_open FROM device WHERE id = 1", "1"));
    EXPECT_TRUE(Received(1, "PB5")) << "the ajar output is pulsed";
    m_sim->SetInput(1, "@");
    EXPECT_TRUE(Becomes("SELECT door_ajar FROM device WHERE id = 1", "0"));
    EXPECT_TRUE(Becomes("SELECT perm_open FROM device WHERE id = 1", "0"));

    // A device that goes silent and comes back.
    EXPECT_EQ(Value("SELECT online_flag FROM device WHERE id = 3"), "1");
    m_sim->SetSilent(3, true);
    EXPECT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 3", "0"));
    m_sim->SetSilent(3, false);
    EXPECT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 3", "1"));

    // The main timer at 03:15 of a Wednesday: the planned resets, a remote
    // open, the schedule holding the exit open, the outputs and the status.
    ASSERT_TRUE(Exec("UPDATE device SET open_flag = 1 WHERE id = 3"));
    for (int i = 0; i < 8; ++i)
        Tick(Wed(3, 15, i));
    EXPECT_TRUE(Received(3, "G004Manual Open"));
    EXPECT_EQ(Value("SELECT last_name FROM trans WHERE error_code = 999"), "IP:10.0.0.9");
    EXPECT_EQ(Value("SELECT open_flag FROM device WHERE id = 3"), "0");
    EXPECT_TRUE(Received(2, "ODevice activated")) << "held open by its gateoc window";
    EXPECT_EQ(Value("SELECT gate_up FROM device WHERE id = 2"), "1");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM card WHERE in_lot <> 0 or in_gate <> -1"), "0");
    EXPECT_EQ(Value("SELECT cur_inlot FROM card_pool WHERE id = 5"), "0");
    EXPECT_EQ(Value("SELECT lot_count FROM lot WHERE id = 1"), "5");
    EXPECT_EQ(Value("SELECT count1 FROM device WHERE id = 1"), "0");
    bool held = false;
    OnMain([&] { held = m_server->InScheduleWindow(2, 3, Wed(3, 30)); });
    EXPECT_TRUE(held);
    // The one-off requests, served at the next minute and cleared.
    ASSERT_TRUE(Exec("UPDATE settings SET AUTO_NOW = 1, AUTO_NOW_GRP = 1"));
    Tick(Wed(3, 16));
    EXPECT_EQ(Value("SELECT auto_now FROM settings"), "0");
    EXPECT_EQ(Value("SELECT auto_now_grp FROM settings"), "0");
    EXPECT_TRUE(Logged("Auto Reset: Passback Groups Pathways ")) << Log();
    EXPECT_TRUE(Logged("Auto Reset: Groups "));

    // Lots without names, as the page, the status data and the metrics show them.
    EXPECT_NE(Get("/status.json").find("\"lots\":[{\"id\":1,\"name\":\"Lot 1\",\"count\":5,\"capacity\":100},"
                                       "{\"id\":2,\"name\":\"Lot 2\",\"count\":0,\"capacity\":0}]"),
              std::string::npos)
        << Get("/status.json");
    const std::string metrics = Get("/metrics");
    EXPECT_NE(metrics.find("\nvelixcard_lot_occupancy{lot=\"1\",name=\"Lot 1\"} 5\n"), std::string::npos) << metrics;
    EXPECT_NE(Get("/").find("/status.json"), std::string::npos);

    // Not one statement failed, and the log holds no driver diagnostics.
    EXPECT_EQ(platform::Metrics().Value("velixcard_failed_statements_total"), m_failedBefore);
    StopServer();
    const std::string whole = testing_support::LogFolderText(m_dir.Path());
    EXPECT_EQ(whole.find(". State:  "), std::string::npos) << whole;
    EXPECT_EQ(whole.find("Exception"), std::string::npos) << whole;

    // STATUS shows the lots and each device's last transaction; CHECK lets
    // the service start and names the optional column it does without.
    const auto status = testing_support::Run({VELIXCARD_BIN, "STATUS"}, Env());
    EXPECT_EQ(status.Status, 0) << status.Err;
    for (const char* text : {"Lot 1", "Lot 2", "9999999  Manual Open"})
        EXPECT_NE(status.Out.find(text), std::string::npos) << text << "\n" << status.Out;
    const auto check = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    for (const char* text : {"Note: table lot: no name (lots are shown as \"Lot <id>\")",
                             "Warning: table velix_journal is missing (start-up makes it)", "The service can start."})
        EXPECT_NE(check.Out.find(text), std::string::npos) << text << "\n" << check.Out;
    EXPECT_EQ(check.Out.find("PROBLEM"), std::string::npos) << check.Out;
}

INSTANTIATE_TEST_SUITE_P(Databases, ListedSite, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
