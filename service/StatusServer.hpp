#pragma once

#include <memory>
#include <optional>
#include <string>

namespace config {
class TMessLog;
}

namespace service {

// "127.0.0.1:9510" or "[::1]:9510": the address and the port, or nullopt.
struct TListenAddress {
    std::string Host;
    int Port = 0;
};
std::optional<TListenAddress> ParseListenAddress(const std::string& text);

// The read-only status listener: /metrics, /healthz, /status.json and the
// page at /. Its threads serve the published snapshots only (the metrics and
// the site state), so a hung database never hangs a page and a flood of
// requests never slows a gate.
class TStatusServer {
public:
    TStatusServer();
    ~TStatusServer();
    TStatusServer(const TStatusServer&) = delete;
    TStatusServer& operator=(const TStatusServer&) = delete;

    // Connections taken from the kernel at once, being served or waiting for
    // a serving thread. No more are accepted until one ends: the rest wait in
    // the kernel's backlog and hold none of the service's file descriptors,
    // which its ports and database connections need.
    static constexpr int kConnectionsHeld = 16;

    // False (and one log line) when the address is unusable or taken.
    bool Start(const std::string& listen, config::TMessLog& log);
    int Port() const noexcept;

private:
    struct TImpl;
    std::unique_ptr<TImpl> m_impl;
};

// The page's and the health check's texts, from the site state.
std::string StatusJson();
// 200 and "ok", or 503 and one line per reason; then a "warning:" line for
// what the gates work without (an offline copy that cannot be made).
std::pair<int, std::string> Health();

} // namespace service
