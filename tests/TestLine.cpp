#include "TestLine.hpp"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace testing_support {

TPseudoTerminal::TPseudoTerminal(const std::string& linkPath)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    ::tcgetattr(m_master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_master, TCSANOW, &tio);
    std::filesystem::create_directories(std::filesystem::path(linkPath).parent_path());
    std::filesystem::create_symlink(name, linkPath);
    m_link = linkPath;
}

// Unplugged, a device takes its link with it (as udev removes a by-id link):
// a stale link would name whatever pseudo-terminal gets the same number
// next, here another test's, which a line reopening its port would take.
TPseudoTerminal::~TPseudoTerminal()
{
    std::error_code ec;
    std::filesystem::remove(m_link, ec);
    ::close(m_master);
    ::close(m_slave);
}

bool Received(tools::TDeviceSimulator& sim, int address, const std::string& data, std::chrono::milliseconds deadline)
{
    return WaitFor(
        [&] {
            for (const auto& f : sim.Frames())
                if (f.Address == address && f.Data == data)
                    return true;
            return false;
        },
        deadline);
}

} // namespace testing_support
