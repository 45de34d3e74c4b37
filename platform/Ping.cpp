#include "platform/Ping.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace platform {
namespace {

constexpr std::size_t kDataBytes = 24;

class TSocket {
public:
    explicit TSocket(int fd) : m_fd(fd) {}
    ~TSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

std::uint16_t Checksum(const unsigned char* data, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (length % 2)
        sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint16_t NextSequence()
{
    static std::atomic<std::uint16_t> sequence{0};
    return ++sequence;
}

} // namespace

TEcho SendEcho(const std::string& host, std::chrono::milliseconds timeout) noexcept
{
    try {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_RAW;
        addrinfo* found = nullptr;
        const int gai = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (gai != 0 || found == nullptr)
            return {TEchoResult::Unresolved, std::string("Host '") + host + "' not found: " + ::gai_strerror(gai)};
        sockaddr_storage target{};
        const socklen_t targetLen = found->ai_addrlen;
        std::memcpy(&target, found->ai_addr, found->ai_addrlen);
        ::freeaddrinfo(found);

        const bool v6 = target.ss_family == AF_INET6;
        const int family = v6 ? AF_INET6 : AF_INET;
        const int protocol = v6 ? static_cast<int>(IPPROTO_ICMPV6) : static_cast<int>(IPPROTO_ICMP);
        bool raw = false;
        int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
        if (fd < 0) {
            fd = ::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol);
            raw = true;
        }
        if (fd < 0 && (errno == EPERM || errno == EACCES))
            return {TEchoResult::NotSent, std::string(std::strerror(errno)) +
                                              ": pinging needs CAP_NET_RAW or a group in net.ipv4.ping_group_range"};
        if (fd < 0)
            return {TEchoResult::NotSent, std::strerror(errno)};
        TSocket sock(fd);

        const std::uint16_t id = static_cast<std::uint16_t>(::getpid());
        const std::uint16_t seq = NextSequence();
        unsigned char packet[8 + kDataBytes] = {};
        packet[0] = v6 ? ICMP6_ECHO_REQUEST : ICMP_ECHO;
        packet[4] = static_cast<unsigned char>(id >> 8);
        packet[5] = static_cast<unsigned char>(id);
        packet[6] = static_cast<unsigned char>(seq >> 8);
        packet[7] = static_cast<unsigned char>(seq);
        for (std::size_t i = 0; i < kDataBytes; ++i)
            packet[8 + i] = static_cast<unsigned char>('a' + i);
        if (!v6) {  // the kernel computes the ICMPv6 checksum
            const std::uint16_t sum = Checksum(packet, sizeof packet);
            packet[2] = static_cast<unsigned char>(sum >> 8);
            packet[3] = static_cast<unsigned char>(sum);
        }
        if (::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&target), targetLen) !=
            static_cast<ssize_t>(sizeof packet))
            return {TEchoResult::NotSent, std::strerror(errno)};

        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return {TEchoResult::Failed, "Request timed out"};
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            unsigned char reply[1500];
            sockaddr_storage from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = ::recvfrom(fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n <= 0)
                continue;
            std::size_t offset = 0;
            if (raw && !v6)
                offset = static_cast<std::size_t>(reply[0] & 0x0F) * 4;  // skip the IPv4 header
            if (static_cast<std::size_t>(n) < offset + 8)
                continue;
            const unsigned char* icmp = reply + offset;
            const int type = icmp[0];
            const std::uint16_t replySeq = static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
            const std::uint16_t replyId = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
            const bool echoReply = v6 ? type == ICMP6_ECHO_REPLY : type == ICMP_ECHOREPLY;
            // Datagram sockets get their own id from the kernel; match the sequence then.
            if (echoReply && replySeq == seq && (!raw || replyId == id))
                return {TEchoResult::Answered, std::string()};
            const bool error = v6 ? type < 128 : (type == ICMP_DEST_UNREACH || type == ICMP_TIME_EXCEEDED);
            if (error && !raw)
                return {TEchoResult::Failed, "Destination unreachable"};
        }
    } catch (...) {
        return {TEchoResult::NotSent, "Ping failed"};
    }
}

} // namespace platform
