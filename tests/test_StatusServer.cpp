// The status listener's address setting and its limits, on loopback.
#include "config/MessLog.hpp"
#include "platform/Metrics.hpp"
#include "service/StatusServer.hpp"

#include "TestMail.hpp"
#include "TestSupport.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <future>

namespace {

TEST(StatusServer, ListenAddressesAreReadOrRefused)
{
    const struct {
        const char* text;
        const char* host;  // nullptr: refused
        int port;
    } cases[] = {
        {"127.0.0.1:9510", "127.0.0.1", 9510}, {" [::1]:9510 ", "::1", 9510}, {"localhost:80", "localhost", 80},
        {"127.0.0.1", nullptr, 0},             {"127.0.0.1:", nullptr, 0},    {":9510", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},           {"127.0.0.1:65536", nullptr, 0}, {"127.0.0.1:95x", nullptr, 0},
        {"::1:9510", nullptr, 0},              {"[::1]9510", nullptr, 0},     {"", nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto a = service::ParseListenAddress(c.text);
        ASSERT_EQ(a.has_value(), c.host != nullptr);
        if (a) {
            EXPECT_EQ(a->Host, c.host);
            EXPECT_EQ(a->Port, c.port);
        }
    }
}

TEST(StatusServer, BadSettingOrTakenPortIsOneLineAndNoListener)
{
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "s.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    const std::string listen = "127.0.0.1:" + std::to_string(testing_support::RefusingPort());
    service::TStatusServer first, taken, bad;
    ASSERT_TRUE(first.Start(listen, log));
    EXPECT_FALSE(taken.Start(listen, log));
    EXPECT_FALSE(bad.Start("port 9510", log));
    log.Log("");
    const std::string text = testing_support::ReadFile(dir / "s.log");
    EXPECT_NE(text.find("StatusListen " + listen + ": the address cannot be used or the port is taken"), std::string::npos)
        << text;
    EXPECT_NE(text.find("StatusListen \"port 9510\" is not an address and port"), std::string::npos) << text;

    // Still serving; a request with an oversized header is refused, not served.
    httplib::Client client("127.0.0.1", first.Port());
    const auto ok = client.Get("/metrics");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    const auto huge = client.Get("/metrics", {{"X-Filler", std::string(64 * 1024, 'x')}});
    EXPECT_TRUE(!huge || huge->status >= 400);
}

// What the listener answers one raw request on a fresh connection: every
// byte until it closes (or 5 s pass).
std::string Exchange(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return "(no connection)";
    }
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
}

TEST(StatusServer, RequestsBeyondItsLimitsAreRefusedAndTheirRestNeverServed)
{
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "s.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    service::TStatusServer listener;
    ASSERT_TRUE(listener.Start("127.0.0.1:" + std::to_string(testing_support::RefusingPort()), log));
    std::string manyHeaders, fewHeaders;
    for (int i = 0; i < 1000; ++i)
        manyHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(50, 'x') + "\r\n";
    for (int i = 0; i < 20; ++i)
        fewHeaders += "X-Filler-" + std::to_string(i) + ": " + std::string(50, 'x') + "\r\n";
    // A body whose text is itself a request: served, it would answer twice.
    const std::string hidden = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
        const char* status;
    } cases[] = {
        {"a plain GET", "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 503"},
        {"20 headers", "GET /healthz HTTP/1.1\r\nHost: x\r\n" + fewHeaders + "Connection: close\r\n\r\n", "HTTP/1.1 503"},
        {"a GET with a body",
         "GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(hidden.size()) + "\r\n\r\n" + hidden,
         "HTTP/1.1 400"},
        {"a GET announcing 1 MiB", "GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 1048576\r\n\r\n" + std::string(4096, 'x'),
         "HTTP/1.1 400"},
        {"a chunked HEAD", "HEAD / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string("5\r\nhello\r\n0\r\n\r\n"),
         "HTTP/1.1 400"},
        {"1000 headers", "GET /healthz HTTP/1.1\r\nHost: x\r\n" + manyHeaders + "\r\n", "HTTP/1.1 431"},
        {"a POST", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", "HTTP/1.1 405"},
    };
    // Side by side: a refused connection lingers until the read time-out.
    std::vector<std::future<std::string>> answers;
    for (const auto& c : cases)
        answers.push_back(std::async(std::launch::async, [&] { return Exchange(listener.Port(), c.request); }));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.what);
        const std::string answer = answers[i].get();
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 200);
        EXPECT_EQ(testing_support::Occurrences(answer, "HTTP/1.1 "), 1) << "one answer, then the connection closes";
    }
}

// Sockets this process holds open: the test's own clients and what the
// listener accepted.
int OpenSockets()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0)
            ++n;
    }
    return n;
}

TEST(StatusServer, IdleConnectionsAreHeldOnlyAFewAtATime)
{
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "s.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    const int before = OpenSockets();
    service::TStatusServer listener;
    ASSERT_TRUE(listener.Start("127.0.0.1:" + std::to_string(testing_support::RefusingPort()), log));
    // Clients that connect and never ask.
    constexpr int kIdle = 80;
    std::vector<int> idle;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(listener.Port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kIdle; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        idle.push_back(fd);
    }
    // The first idle ones are dropped at the read time-out; by then the
    // listener would have taken every other one, were it not bounded.
    // Besides the listening socket and the clients' own.
    const auto accepted = [&] { return OpenSockets() - before - 1 - kIdle; };
    int most = 0;
    ASSERT_TRUE(testing_support::WaitFor(
        [&] {
            most = std::max(most, accepted());
            char c;
            return std::any_of(idle.begin(), idle.end(), [&](int fd) { return ::recv(fd, &c, 1, 0) == 0; });
        },
        std::chrono::seconds(10)));
    most = std::max(most, accepted());
    EXPECT_LE(most, service::TStatusServer::kConnectionsHeld + 1) << "one more waits with the acceptor";
    for (const int fd : idle)
        ::close(fd);
    httplib::Client client("127.0.0.1", listener.Port());
    client.set_read_timeout(10, 0);
    const auto ok = client.Get("/healthz");
    ASSERT_TRUE(ok) << "served once the idle ones have gone";
}

} // namespace
