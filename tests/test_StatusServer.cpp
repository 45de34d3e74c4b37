// The status listener's address setting and its limits, on loopback.
#include "config/MessLog.hpp"
#include "platform/Metrics.hpp"
#include "service/StatusServer.hpp"

#include "TestMail.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

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

} // namespace
