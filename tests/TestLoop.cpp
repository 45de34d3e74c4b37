#include "TestLoop.hpp"

#include <cstdlib>

namespace testing_support {

std::string RegistryText(const TTestDatabase& db, const std::string& computerName)
{
    const auto& p = db.Params();
    const char* port = std::getenv("VELIX_MARIADB_PORT");
    const std::string options = db.Family() == TDbFamily::MariaDB
                                    ? "SERVER=%h;PORT=" + std::string(port ? port : "") + ";database=%d"
                                    : p.Options;
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
                       "\"ODBCDriver\"=\"" + p.Driver + "\"\r\n"
                       "\"Database\"=\"" + p.Database + "\"\r\n"
                       "\"ODBCOptions\"=\"" + options + "\"\r\n";
    if (!computerName.empty())
        text += "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
                "\"ComputerName\"=\"" + computerName + "\"\r\n";
    return text;
}

void TLoopTest::SetUp()
{
    TSiteTest::SetUp();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(Exec("INSERT INTO " + loop::LoopTable(m_odbc) + " (id, name, port, enabled) VALUES (" +
                     std::to_string(kLoopId) + ", 'x', 1, 1)"));
    for (const auto& sql : SiteRows())
        ASSERT_TRUE(Exec(sql)) << sql << "\n" << ReadFile(LogFile());
    WriteFile(RegistryFile(), RegistryText(*m_db));
    // The test binary's settings file is <home>/velix_tests.ini.
    WriteFile(m_dir / "velix_tests.ini", "[Settings]\r\n" + Settings());
    ::setenv("VELIXCARD_HOME", m_dir.Path().c_str(), 1);
    ::setenv("VELIXCARD_REGISTRY", RegistryFile().c_str(), 1);
    m_pty = std::make_unique<TPseudoTerminal>(m_dir / "ports/COM1");
    m_sim = std::make_unique<tools::TDeviceSimulator>(m_pty->Master(), 115200, Addresses());
    m_thread = std::thread([this] { m_main.Run(); });
    m_main.Invoke([this] { m_loop = std::make_unique<loop::TLoop>(*m_log, kLoopId); });
    ASSERT_TRUE(m_loop && m_loop->Line() && m_loop->Line()->IsOpen()) << ReadFile(LogFile());
}

std::vector<std::string> TLoopTest::LogLines()
{
    if (m_loop)
        OnLoop([this] { m_log->Log(""); });
    return TSiteTest::LogLines();
}

void TLoopTest::Rebuild(loop::TLoopOptions options)
{
    m_main.Invoke([&] {
        m_loop.reset();
        m_loop = std::make_unique<loop::TLoop>(*m_log, kLoopId, std::move(options));
    });
    ASSERT_TRUE(m_loop && m_loop->Line() && m_loop->Line()->IsOpen()) << ReadFile(LogFile());
}

void TLoopTest::TearDown()
{
    if (m_thread.joinable()) {
        m_main.Invoke([this] { m_loop.reset(); });
        m_main.Quit();
        m_thread.join();
    }
    m_sim.reset();
    m_pty.reset();
    ::unsetenv("VELIXCARD_REGISTRY");
}

bool TLoopTest::Received(int address, const std::string& data)
{
    return testing_support::Received(*m_sim, address, data);
}

std::vector<std::string> TLoopTest::Commands(int address, char letter)
{
    std::vector<std::string> out;
    for (const auto& f : m_sim->Frames())
        if (f.Address == address && !f.Data.empty() && f.Data[0] == letter)
            out.push_back(f.Data);
    return out;
}

} // namespace testing_support
