// The real service against a seeded MariaDB database and simulated devices.
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "loop/Loop.hpp"

#include "TestDb.hpp"

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TChild;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;
using testing_support::WaitFor;

namespace {

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_db = std::make_unique<TTestDatabase>(TDbFamily::MariaDB);
        ASSERT_TRUE(m_db->Ready()) << m_db->Problem();
        m_odbc.BindColumns = true;
        ASSERT_TRUE(m_db->Connect(m_odbc));
        ASSERT_TRUE(m_db->CreateSchema(m_odbc));
        std::filesystem::create_directories(m_home / "ports");
    }

    void Seed(const std::vector<std::string>& statements)
    {
        for (const auto& sql : statements)
            ASSERT_TRUE(m_db->Run(m_odbc, sql)) << sql;
    }

    void WriteRegistry(const std::string& computerName)
    {
        const auto& p = m_db->Params();
        testing_support::WriteFile(
            m_home / "r.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
            "\"ODBCDriver\"=\"MariaDB\"\r\n"
            "\"Database\"=\"" + p.Database + "\"\r\n"
            "\"ODBCOptions\"=\"SERVER=%h;PORT=" + std::getenv("VELIX_MARIADB_PORT") + ";database=%d\"\r\n"
            "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
            "\"ComputerName\"=\"" + computerName + "\"\r\n");
    }

    // The simulator at the far end of COM1, once its link is there.
    std::unique_ptr<TChild> Simulator(const std::string& addresses)
    {
        auto sim = std::make_unique<TChild>(
            std::vector<std::string>{VELIXCARD_DEVSIM, "--link", m_home / "ports/COM1", "--addr", addresses, "--baud",
                                     "115200"},
            std::map<std::string, std::string>{});
        EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(m_home / "ports/COM1"); }, 5s));
        return sim;
    }

    std::map<std::string, std::string> Env()
    {
        return {{"VELIXCARD_HOME", m_home.Path()}, {"VELIXCARD_REGISTRY", m_home / "r.reg"}};
    }

    std::string Log() { return testing_support::LogFolderText(m_home.Path()); }

    std::vector<std::string> Messages()
    {
        std::vector<std::string> out;
        for (const auto& l : SplitLines(Log()))
            if (l.size() > 24 && l[0] != '.')
                out.push_back(l.substr(24));
        return out;
    }

    bool Logged(const std::string& message, std::chrono::milliseconds deadline = 10s)
    {
        return WaitFor(
            [&] {
                const auto m = Messages();
                return std::find(m.begin(), m.end(), message) != m.end();
            },
            deadline);
    }

    int Int(const std::string& sql)
    {
        db::TODBCStatement s(m_odbc);
        return s.Exec(sql) && !s.Columns().empty() ? s.AsInteger(s.Columns()[0].Name) : -999;
    }

    bool Becomes(const std::string& sql, int value, std::chrono::milliseconds deadline = 10s)
    {
        return WaitFor([&] { return Int(sql) == value; }, deadline);
    }

    TTempDir m_home;
    std::unique_ptr<TTestDatabase> m_db;
    db::TODBC m_odbc;
};

// Whether the subsequence appears in order in the log.
bool InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& wanted, std::string& missing)
{
    auto at = messages.begin();
    for (const auto& w : wanted) {
        at = std::find(at, messages.end(), w);
        if (at == messages.end()) {
            missing = w;
            return false;
        }
        ++at;
    }
    return true;
}

} // namespace

TEST_F(Service, StartsTheLoopsOfThisComputerAndFollowsTheDevices)
{
    Seed({
        "ALTER TABLE device DROP COLUMN ptr_paper, DROP COLUMN special_out",
        "ALTER TABLE tickinv DROP COLUMN online",
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (4, 'otherpc', 5, 1)",
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (7, 'poe/pof', 9, 0)",
        "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 99, 100)",
        "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
        "INSERT INTO messages (id, idle, gateup) VALUES (1, 'Welcome', 'Please enter')",
        "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, msg_id, lf_enabled, lf_output, lf_sign, fire_input) "
        "VALUES (1, 3, 1, 1, 'Entry 1', 1, 1, 4, 1, 1)",
        "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, fire_flag) VALUES (2, 3, 1, 2, 'Exit 2', 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (5, 4, 1, 'Other 1')",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (8, 7, 1, 'Pay 1')",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (9, 7, 2, 'Pay 2')",
        "INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (1, 2, 1, 1)",
    });
    WriteRegistry("GATEPC");
    const auto simulator = Simulator("1-2");
    TChild& sim = *simulator;
    sim.Write("counter 1 00000\n");
    TChild service({VELIXCARD_BIN}, Env());

    ASSERT_TRUE(Logged("Started!")) << Log();
    std::string missing;
    EXPECT_TRUE(InOrder(Messages(),
                        {"Starting server, Reading Registry",
                         "Connecting to: 127.0.0.1, Database: " + m_db->Params().Database,
                         "Connected to DataSource!",
                         "Init Devices for LoopId 3 Port 1",
                         "TCard - PollDly 0  TurnAround 0  RespDly 0  Baud 9600  OffLineDly 40",
                         "Device started.  LoopId 3  First address: 1  Last address: 2",
                         "CreateCardInterface - Done",
                         "Created POE/POF soft counter for address 1",
                         "Created POE/POF soft counter for address 2",
                         "CreateCardInterface - Done",
                         "Loops FOUND for computer name \"gatepc\"",
                         "Started!"},
                        missing))
        << "missing: " << missing << "\n" << Log();
    EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM settings"), 1);
    EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM information_schema.columns WHERE table_schema = DATABASE() AND "
                  "table_name = 'device' AND column_name IN ('ptr_paper', 'special_out')"),
              2)
        << "the schema upgrade adds the missing columns";
    EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM information_schema.columns WHERE table_schema = DATABASE() AND "
                  "table_name = 'tickinv' AND column_name = 'online'"),
              1);

    // Power-up writes the online flag; the counter's first reply is only the baseline.
    EXPECT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 2", 1));
    EXPECT_TRUE(Logged("PowerUp Event, Device: Entry 1"));
    // The lot-full output and sign follow the count: 99 of 100 is not full.
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  1 FD") != std::string::npos; }, 10s)) << sim.Output();
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  1 L<14>1<0D><16>1\\1\\1") != std::string::npos; }, 10s));

    ASSERT_TRUE(WaitFor([&] { return sim.Output().find("<-  1 R") != std::string::npos; }, 10s));
    std::this_thread::sleep_for(200ms);
    // The first counter event only sets the lot counter's own baseline.
    sim.Write("counter 1 20000\n");
    ASSERT_TRUE(Logged("Counter event Entry 1 input value: 20000 = 2,0,0,0,0")) << Log();
    EXPECT_EQ(Int("SELECT lot_count FROM lot WHERE id = 1"), 99);
    sim.Write("counter 1 40000\n");
    EXPECT_TRUE(Becomes("SELECT lot_count FROM lot WHERE id = 1", 101));
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  1 WD") != std::string::npos; }, 10s)) << sim.Output();
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  1 L<14>1<0D><16>0\\1\\1") != std::string::npos; }, 10s));
    EXPECT_EQ(Int("SELECT count1 FROM device WHERE id = 1"), 2);

    // Fire input 1 of device 1 holds every fire-flagged device open.
    sim.Write("input 1 1\n");
    EXPECT_TRUE(Becomes("SELECT perm_open FROM device WHERE id = 2", 1));

    // A device that falls silent is written off line.
    sim.Write("silent 2\n");
    EXPECT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 2", 0));
    EXPECT_TRUE(Logged("Offline, Device: Exit 2"));

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0) << service.Output();
    const auto m = Messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "ShutDown...");
    EXPECT_EQ(m.back(), "End Log");
    EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM settings"), 1);
}

TEST_F(Service, OnlyAPoePofLoopIsEnoughAndTheSettingsRowStaysSingle)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (7, 'POE/POF', 9, 0)",
        "INSERT INTO settings (reset_dadid) VALUES (1)",
    });
    WriteRegistry("lanepc");
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start);
        std::filesystem::remove_all(m_home / "log");
        TChild service({VELIXCARD_BIN}, Env());
        ASSERT_TRUE(Logged("Started!")) << Log();
        EXPECT_TRUE(Logged("Loops FOUND for computer name \"lanepc\""));
        service.Signal(SIGTERM);
        EXPECT_EQ(service.Wait(10s), 0);
        EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM settings"), 1);
        EXPECT_EQ(Int("SELECT reset_dadid FROM settings"), 0);
    }
}

TEST_F(Service, NoLoopForThisComputerIsRetried)
{
    Seed({"INSERT INTO `loop` (id, name, port, enabled) VALUES (4, 'otherpc', 5, 1)"});
    WriteRegistry("GATE'PC");
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("No loops found for this computer name \"gate'pc\"")) << Log();
    EXPECT_TRUE(Logged("End Log"));
    EXPECT_EQ(Int("SELECT COUNT(*) AS n FROM settings"), 1) << "the settings row is made even so";
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, UnusablePortsAndOddAddressesAreLoggedNotFatal)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 77, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name, msg_id) VALUES (1, 3, 1, 'Entry 1', 42)",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (2, 3, 20, 'Bad address')",
    });
    WriteRegistry("gatepc");
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("Started!")) << Log();
    std::string missing;
    EXPECT_TRUE(InOrder(Messages(),
                        {"Init Devices for LoopId 3 Port 77",
                         "Device id 2 of loop id 3 has address 20 outside 0 to 16, ignored",
                         "Failed to open port COM77 for loop id 3", "CreateCardInterface - Done", "Started!"},
                        missing))
        << "missing: " << missing << "\n" << Log();
    // The settings file filled itself with every key read.
    const std::string ini = ReadFile(m_home / "velixcard.ini");
    for (const char* key : {"RespDelay=0", "Sync Readers every XX minutes=0", "Email Port=25", "Auto Reset=1",
                            "Low Security on DB Error=0", "Extended Grace Lane="})
        EXPECT_NE(ini.find(key), std::string::npos) << key << "\n" << ini;
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, LostDatabaseSessionsComeBackByThemselves)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (1, 3, 1, 'Entry 1')",
    });
    WriteRegistry("gatepc");
    const auto simulator = Simulator("1");
    TChild& sim = *simulator;
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("Started!")) << Log();
    ASSERT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 1", 1));

    // Another program (or a server restart) ends every session of the service.
    std::vector<int> sessions;
    {
        db::TODBCStatement s(m_odbc);
        for (bool more = s.Exec("SELECT id FROM information_schema.processlist WHERE db = DATABASE() AND id <> "
                                "CONNECTION_ID()");
             more; more = s.Next())
            sessions.push_back(s.AsInteger("id"));
    }
    ASSERT_FALSE(sessions.empty());
    for (int id : sessions)
        m_db->Run(m_odbc, "KILL " + std::to_string(id));

    sim.Write("silent 1\n");
    EXPECT_TRUE(Becomes("SELECT online_flag FROM device WHERE id = 1", 0)) << Log();
    EXPECT_TRUE(Logged("ODBC Connection 'Dead'!"));
    EXPECT_TRUE(Logged("Offline, Device: Entry 1"));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, RfModemLoopUsesItsOwnTimingAndReadsNoTimingKeys)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled, rfmodem) VALUES (3, 'gatepc', 1, 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (1, 3, 2, 'Entry 2')",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (2, 3, 5, 'Entry 5')",
    });
    WriteRegistry("gatepc");
    testing_support::WriteFile(m_home / "velixcard.ini", "[Settings]\r\nRespDelay=7\r\n");
    const auto simulator = Simulator("2,5");
    TChild& sim = *simulator;
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("Started!")) << Log();
    std::string missing;
    EXPECT_TRUE(InOrder(Messages(),
                        {"NOTE: Using RF Modem Mode for loop id 3",
                         "TCard - PollDly 0  TurnAround 100  RespDly 200  Baud 9600  OffLineDly 40",
                         "Device started.  LoopId 3  First address: 2  Last address: 5"},
                        missing))
        << "missing: " << missing << "\n" << Log();
    const std::string ini = ReadFile(m_home / "velixcard.ini");
    EXPECT_EQ(ini.find("TurnAround="), std::string::npos) << ini;
    EXPECT_EQ(ini.find("PollDelay="), std::string::npos);
    // Addresses 3 and 4 have no device rows but are polled as part of the range.
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  4 C") != std::string::npos; }, 10s));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, ExitReaderIsAnsweredOnTheWireAndPrinterStatusIsStored)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name, device_type, dir_ection) VALUES (1, 3, 1, 'Spitter', 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name, device_type, dir_ection, open_pulse) "
        "VALUES (2, 3, 2, 'Exit', 2, 2, 2)",
    });
    WriteRegistry("gatepc");
    const auto simulator = Simulator("1-2");
    TChild& sim = *simulator;
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("Started!")) << Log();

    // A ticket of a minute ago, lane 4, in the two-year form.
    const auto now = platform::LocalNow();
    const int base = now.Year % 2 == 0 ? now.Year : now.Year - 1;
    const auto seconds =
        std::llround((platform::NowDateTime() - 1.0 / 1440 - platform::EncodeDate(base, 1, 1)) * 86400);
    const std::string barcode = config::Format("%08lld04", 20000000 + seconds);
    sim.Write("barcode 2 " + barcode + "\n");
    EXPECT_TRUE(WaitFor([&] { return sim.Output().find("<-  2 G002Thank you...") != std::string::npos; }, 10s))
        << sim.Output() << Log();
    EXPECT_TRUE(Logged("Got BarcodeEvent event!  - 2 - |" + barcode + "|"));
    EXPECT_TRUE(Becomes("SELECT status FROM tickinv WHERE barcode = '" + barcode + "'", 2));

    sim.Write("printer 1 2,17\n");
    EXPECT_TRUE(Becomes("SELECT ptr_stat2 FROM device WHERE id = 1", 17)) << Log();
    EXPECT_EQ(Int("SELECT ptr_paper FROM device WHERE id = 1"), 2);
    EXPECT_EQ(Int("SELECT ptr_fail2 FROM device WHERE id = 1"), 1);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, RestartRequestStartsTheServiceAfresh)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name) VALUES (1, 3, 1, 'Entry 1')",
    });
    WriteRegistry("gatepc");
    const auto sim = Simulator("1");
    TChild service({VELIXCARD_BIN}, Env());
    ASSERT_TRUE(Logged("Started!")) << Log();
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE settings SET reset_dadid = 1"));
    auto started = [&] {
        const auto m = Messages();
        return std::count(m.begin(), m.end(), "Started!");
    };
    EXPECT_TRUE(WaitFor([&] { return started() == 2; }, 10s)) << Log();
    std::string missing;
    EXPECT_TRUE(InOrder(Messages(),
                        {"Started!", "ShutDown...", "Starting server, Reading Registry", "Loops FOUND for computer name \"gatepc\"",
                         "Started!"},
                        missing))
        << "missing: " << missing << "\n" << Log();
    EXPECT_EQ(Int("SELECT reset_dadid FROM settings"), 0);
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

TEST_F(Service, TwoComputersOnOneDatabaseServeOnlyTheirOwnLoops)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (4, 'lanepc', 2, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name, open_pulse) VALUES (1, 3, 1, 'Gate side', 2)",
        "INSERT INTO device (id, loop_id, addr_ess, name, open_pulse) VALUES (2, 4, 1, 'Lane side', 4)",
    });
    // One home each, as on two computers; each links only its own port.
    struct TComputer {
        std::string Name;
        int Port;
        TTempDir Home;
        std::unique_ptr<TChild> Sim, Service;
    };
    TComputer computers[2] = {{"gatepc", 1, {}, nullptr, nullptr}, {"lanepc", 2, {}, nullptr, nullptr}};
    for (auto& c : computers) {
        std::filesystem::create_directories(c.Home / "ports");
        const std::string link = c.Home / ("ports/COM" + std::to_string(c.Port));
        c.Sim = std::make_unique<TChild>(
            std::vector<std::string>{VELIXCARD_DEVSIM, "--link", link, "--addr", "1", "--baud", "115200"},
            std::map<std::string, std::string>{});
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(link); }, 5s));
        WriteRegistry(c.Name);
        std::filesystem::copy_file(m_home / "r.reg", c.Home / "r.reg");
        c.Service = std::make_unique<TChild>(
            std::vector<std::string>{VELIXCARD_BIN},
            std::map<std::string, std::string>{{"VELIXCARD_HOME", c.Home.Path()},
                                               {"VELIXCARD_REGISTRY", c.Home / "r.reg"}});
    }
    // Both beat their hearts; each serves only its own loop.
    EXPECT_TRUE(Becomes("SELECT COUNT(*) FROM `loop` WHERE lastupdate IS NOT NULL", 2, 20s));
    for (int i = 0; i < 2; ++i) {
        const std::string log = testing_support::LogFolderText(computers[i].Home.Path());
        EXPECT_NE(log.find("Init Devices for LoopId " + std::to_string(3 + i)), std::string::npos) << log;
        EXPECT_EQ(log.find("Init Devices for LoopId " + std::to_string(4 - i)), std::string::npos) << log;
    }
    // A remote open for each gate reaches that gate only.
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE device SET open_flag = 1 WHERE id = 2"));
    EXPECT_TRUE(WaitFor([&] { return computers[1].Sim->Output().find("G004Manual Open") != std::string::npos; }, 15s));
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE device SET open_flag = 1 WHERE id = 1"));
    EXPECT_TRUE(WaitFor([&] { return computers[0].Sim->Output().find("G002Manual Open") != std::string::npos; }, 15s));
    EXPECT_EQ(computers[0].Sim->Output().find("G004"), std::string::npos) << "the other computer's gate stays shut";
    EXPECT_EQ(computers[1].Sim->Output().find("G002"), std::string::npos);
    EXPECT_EQ(Int("SELECT COUNT(*) FROM trans WHERE error_code = 999"), 2);
    for (auto& c : computers) {
        c.Service->Signal(SIGTERM);
        EXPECT_EQ(c.Service->Wait(10s), 0) << c.Name;
    }
}

TEST_F(Service, CheckAndStatusReadTheSiteWithoutWritingAnything)
{
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (4, 'gatepc', 2, 1)",
        "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 7, 50)",
        "INSERT INTO device (id, loop_id, addr_ess, name, device_type, ptr_stat) VALUES (1, 3, 1, 'Spitter 1', 1, 6)",
        "INSERT INTO trans (device_id, dat_e, cardno, error_desc) VALUES (1, {ts '2026-12-09 10:00:00'}, 4242, "
        "'Not On File')",
    });
    WriteRegistry("gatepc");
    const auto sim = Simulator("1");
    // Port 2 is a link to nothing, like an adapter that was unplugged.
    std::filesystem::create_symlink("/dev/ttyUSB99", m_home / "ports/COM2");
    const std::string registry = ReadFile(m_home / "r.reg");
    const auto check = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    for (const char* line : {"ODBCDriver    MariaDB", "Connection", "connected", "The service can start.",
                             "Warning: loop 4: port", "Home folder"})
        EXPECT_NE(check.Out.find(line), std::string::npos) << line << "\n" << check.Out;

    // The schema: what start-up adds is a warning, anything else missing stops a start.
    ASSERT_TRUE(m_db->Run(m_odbc, "ALTER TABLE device DROP COLUMN special_out"));
    const auto added = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(added.Status, 0) << added.Out;
    EXPECT_NE(added.Out.find("Warning: table device: missing special_out (start-up adds them)"), std::string::npos)
        << added.Out;
    ASSERT_TRUE(m_db->Run(m_odbc, "ALTER TABLE spots DROP COLUMN floor"));
    ASSERT_TRUE(m_db->Run(m_odbc, "DROP TABLE tickinv"));
    const auto broken = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(broken.Status, 1) << broken.Out;
    for (const char* line : {"spots             floor", "PROBLEM: table spots: missing floor",
                             "PROBLEM: table tickinv is missing", "The service cannot start."})
        EXPECT_NE(broken.Out.find(line), std::string::npos) << line << "\n" << broken.Out;

    // A log folder the service cannot write in (a file in its place) stops a start too.
    testing_support::WriteFile(m_home / "log", "");
    const auto noLog = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(noLog.Status, 1);
    EXPECT_NE(noLog.Out.find("PROBLEM: Log folder " + m_home / "log" + " is not a folder"), std::string::npos)
        << noLog.Out;
    std::filesystem::remove(m_home / "log");
    EXPECT_EQ(ReadFile(m_home / "r.reg"), registry) << "the registry file is not touched";
    EXPECT_FALSE(std::filesystem::exists(m_home / "velixcard.ini")) << "no settings written back";

    const auto status = testing_support::Run({VELIXCARD_BIN, "STATUS"}, Env());
    EXPECT_EQ(status.Status, 0) << status.Err;
    for (const char* text : {"Spitter 1", "spitter", "paper out;low paper;", "2026-12-09 10:00:00  4242  Not On File",
                             "North", "never"})
        EXPECT_NE(status.Out.find(text), std::string::npos) << text << "\n" << status.Out;

    // A partial schema: what can be read is shown, the rest named.
    ASSERT_TRUE(m_db->Run(m_odbc, "DROP TABLE lot"));
    const auto partial = testing_support::Run({VELIXCARD_BIN, "STATUS"}, Env());
    EXPECT_EQ(partial.Status, 0);
    EXPECT_NE(partial.Out.find("Spitter 1"), std::string::npos) << partial.Out;
    EXPECT_NE(partial.Out.find("(the lot table cannot be read: "), std::string::npos) << partial.Out;

    // What stops a start is named, one line each.
    struct TCase {
        const char* what;
        std::string registry;
        const char* problem;
    };
    const std::string key = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n";
    const TCase cases[] = {
        {"driver not registered", key + "\"ODBCDriver\"=\"No Such Driver\"\r\n",
         "PROBLEM: the ODBC driver \"No Such Driver\" is not registered"},
        {"login refused", key + "\"ODBCDriver\"=\"MariaDB\"\r\n\"Pass\"=\"xyz\"\r\n\"ODBCOptions\"=\"SERVER=%h;PORT=" +
                              std::string(std::getenv("VELIX_MARIADB_PORT")) + "\"\r\n",
         "PROBLEM: no connection to the database: "},
        {"no registry file", "", "PROBLEM: no connection to the database: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(m_home / "r.reg");
        if (!c.registry.empty())
            testing_support::WriteFile(m_home / "r.reg", c.registry);
        const auto r = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
        EXPECT_EQ(r.Status, 1);
        EXPECT_NE(r.Out.find(c.problem), std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("The service cannot start."), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(m_home / "r.reg")) << "a missing registry file stays missing";

    // Files that exist but cannot be read (a folder in their place, which
    // even root cannot read as a file) are named, and defaults are used.
    std::filesystem::create_directory(m_home / "r.reg");
    std::filesystem::create_directory(m_home / "velixcard.ini");
    const auto unreadable = testing_support::Run({VELIXCARD_BIN, "CHECK"}, Env());
    EXPECT_EQ(unreadable.Status, 1);
    for (const char* line : {"PROBLEM: Registry file ", "r.reg is a folder", "Warning: Settings file ",
                             "velixcard.ini is a folder", "The service cannot start."})
        EXPECT_NE(unreadable.Out.find(line), std::string::npos) << line << "\n" << unreadable.Out;
}

// CHECK run as the service's user tells what that user cannot do; here a user
// with no rights of its own stands in for it.
TEST_F(Service, CheckAsAnotherUserNamesWhatThatUserCannotDo)
{
    Seed({"INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)"});
    WriteRegistry("gatepc");
    const auto sim = Simulator("1");  // a terminal of root's, closed to others
    namespace fs = std::filesystem;
    fs::permissions(m_home.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(m_home / "r.reg", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    const auto asNobody = [&] {
        return testing_support::Run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     VELIXCARD_BIN, "CHECK"},
                                    Env());
    };
    const auto readable = asNobody();
    EXPECT_EQ(readable.Status, 1) << readable.Out << readable.Err;
    const std::vector<std::string> lines = {
        "Checked as user nobody (uid 65534; groups none)",
        "PROBLEM: Home folder " + m_home.Path() + " cannot be written by user nobody (Permission denied)",
        "CANNOT OPEN as user nobody: ",
        "connected",
    };
    for (const auto& line : lines)
        EXPECT_NE(readable.Out.find(line), std::string::npos) << line << "\n" << readable.Out;
    // Whether the user may ping without the capability is the machine's setting.
    const std::string range = ReadFile("/proc/sys/net/ipv4/ping_group_range");
    long low = 1, high = 0;
    std::sscanf(range.c_str(), "%ld %ld", &low, &high);
    if (65534 < low || 65534 > high) {
        EXPECT_NE(readable.Out.find("pinging needs CAP_NET_RAW or a group in net.ipv4.ping_group_range"),
                  std::string::npos)
            << readable.Out;
    }

    fs::permissions(m_home / "r.reg", fs::perms::others_read, fs::perm_options::remove);
    const auto closed = asNobody();
    EXPECT_EQ(closed.Status, 1);
    const std::string problem =
        "PROBLEM: Registry file " + m_home / "r.reg" + " cannot be read by user nobody (Permission denied)";
    EXPECT_NE(closed.Out.find(problem), std::string::npos) << closed.Out;
}

TEST_F(Service, ResetPlannedInTheSkippedHourRunsOnceRightAfterClocksSpringForward)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "libfaketime cannot be preloaded ahead of a sanitizer's runtime; the plain build runs this";
#endif
    const std::string faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
    ASSERT_TRUE(std::filesystem::exists(faketime)) << "scripts/test installs the faketime package";
    Seed({
        "INSERT INTO `loop` (id, name, port, enabled) VALUES (3, 'gatepc', 1, 1)",
        "INSERT INTO device (id, loop_id, addr_ess, name, device_type) VALUES (1, 3, 1, 'Spitter', 1)",
        "INSERT INTO settings (reset_dadid, AUTO_RESET, reset_time) VALUES (0, 1, '02:30:00')",
        "INSERT INTO card (number, type_id, in_lot) VALUES (1001, 1, 1)",
    });
    WriteRegistry("gatepc");
    // The spitter is sent the time on every new minute: the sign that a tick of that minute ran.
    testing_support::WriteFile(m_home / "velixcard.ini", "[Settings]\r\nSync Readers every XX minutes=1\r\n");
    const auto sim = Simulator("1");
    const auto tickedAt = [&](const std::string& hhmm) {
        return WaitFor([&] { return sim->Output().find("<-  1 M" + hhmm) != std::string::npos; }, 20s);
    };
    // The wall clock of the service alone; its monotonic clock stays true.
    const std::string clock = m_home / "faketime";
    testing_support::WriteFile(clock, "@2026-03-29 01:59:50\n");
    auto env = Env();
    env.insert({{"LD_PRELOAD", faketime}, {"FAKETIME_TIMESTAMP_FILE", clock}, {"FAKETIME_NO_CACHE", "1"},
                {"FAKETIME_DONT_FAKE_MONOTONIC", "1"}, {"TZ", "Europe/Berlin"}});
    TChild service({VELIXCARD_BIN}, env);
    ASSERT_TRUE(Logged("Started!")) << Log();

    // 02:00 CET is 03:00 CEST: the reset planned at 02:30 runs with the first tick after it.
    ASSERT_TRUE(Becomes("SELECT in_lot FROM card", 0, 30s)) << Log();
    const auto reset = [&] {
        std::vector<std::string> stamps;
        for (const auto& l : SplitLines(Log()))
            if (l.size() > 24 && l.substr(24) == "Auto Reset: Passback ")
                stamps.push_back(l.substr(0, 5));
        return stamps;
    };
    EXPECT_EQ(reset(), std::vector<std::string>{"03:00"}) << Log();

    // Later in the window, and with the clock set back into it: not again.
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE card SET in_lot = 1"));
    testing_support::WriteFile(clock, "@2026-03-29 03:20:00\n");
    ASSERT_TRUE(tickedAt("0320")) << sim->Output();
    testing_support::WriteFile(clock, "@2026-03-29 03:01:00\n");
    ASSERT_TRUE(tickedAt("0301")) << sim->Output();
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
    EXPECT_EQ(Int("SELECT in_lot FROM card"), 1);
    EXPECT_EQ(reset(), std::vector<std::string>{"03:00"}) << Log();
}

TEST(LoopMinutes, ElapsedMinutesTruncatesTowardsZero)
{
    const double minute = 1.0 / 1440;
    EXPECT_EQ(platform::MinutesFromTo(100.0, 100.0 + 14.9 * minute), 14);
    EXPECT_EQ(platform::MinutesFromTo(100.0 + 14.9 * minute, 100.0), -14);
    EXPECT_EQ(platform::MinutesFromTo(100.0, 101.0), 1440);
}
