#pragma once

#include <chrono>
#include <string>

namespace platform {

enum class TEchoResult {
    Answered,    // an echo reply came back in time
    Failed,      // time-out or an error reply
    NotSent,     // no request could be made or sent: worth another try
    Unresolved,  // the host name does not resolve (Error says why)
};

struct TEcho {
    TEchoResult Result = TEchoResult::NotSent;
    std::string Error;
};

// One ICMP echo request with 24 data bytes, waiting at most timeout: an
// unprivileged ICMP datagram socket where the kernel allows one, else a raw
// socket (root). IPv4 and IPv6.
TEcho SendEcho(const std::string& host, std::chrono::milliseconds timeout) noexcept;

} // namespace platform
