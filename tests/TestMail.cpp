#include "TestMail.hpp"

#include "TestSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace testing_support {
namespace {

// A socket bound to a free loopback port.
int BoundSocket(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ADD_FAILURE() << "cannot bind a loopback socket";
        return fd;
    }
    port = ntohs(a.sin_port);
    return fd;
}

} // namespace

int SmtpPort()
{
    const std::string port = Env("VELIX_SMTP_PORT");
    if (port.empty() || Env("VELIX_SMTP_DIR").empty())
        ADD_FAILURE() << "VELIX_SMTP_PORT/VELIX_SMTP_DIR are not set: the SMTP recorder is not running "
                         "(scripts/test-servers start build/testenv)";
    return std::atoi(port.c_str());
}

std::vector<std::string> MailsTo(const std::string& recipient, std::size_t count, std::chrono::milliseconds deadline)
{
    std::vector<std::string> found;
    const std::string dir = Env("VELIX_SMTP_DIR");
    WaitFor(
        [&] {
            found.clear();
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
                if (e.path().extension() != ".eml")
                    continue;
                const std::string text = ReadFile(e.path());
                if (text.find("X-Envelope-To: " + recipient + "\r\n") != std::string::npos)
                    found.push_back(text);
            }
            return found.size() >= count;
        },
        deadline);
    return found;
}

std::string UniqueRecipient(const std::string& name)
{
    static std::atomic<int> n{0};
    return name + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n) + "@site.test";
}

THungServer::THungServer()
{
    m_fd = BoundSocket(m_port);
    if (m_fd >= 0 && ::listen(m_fd, 16) != 0)
        ADD_FAILURE() << "cannot listen on a loopback socket";
}

THungServer::~THungServer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int RefusingPort()
{
    int port = 0;
    const int fd = BoundSocket(port);
    // Bound but not listening: connections to it are refused.
    if (fd >= 0)
        ::close(fd);
    return port;
}

} // namespace testing_support
