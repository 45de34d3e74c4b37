#include "platform/SerialPort.hpp"

#include "platform/FileText.hpp"
#include "platform/Paths.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// Errors that say the device itself is gone, not just busy.
bool IsGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

std::optional<speed_t> SpeedOf(int baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return std::nullopt;
    }
}

} // namespace

std::string SerialPortPath(int portNumber)
{
    const std::string link = HomeFolder() + "/ports/COM" + std::to_string(portNumber);
    if (FileExists(link))
        return link;
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

TSerialPort::~TSerialPort()
{
    Close();
}

void TSerialPort::Close() noexcept
{
    if (m_fd >= 0) {
        // The exclusive flag belongs to the terminal, not to this descriptor:
        // where the far end stays open (a pseudo-terminal, some USB adapters)
        // it would outlive the close and lock out the next start of a service
        // that is not root.
        ::ioctl(m_fd, TIOCNXCL);
        ::close(m_fd);
        m_fd = -1;
    }
}

std::optional<std::string> TSerialPort::Open(const std::string& path, int baud)
{
    Close();
    m_lost.reset();
    const auto speed = SpeedOf(baud);
    if (!speed)
        return "unsupported baud rate " + std::to_string(baud);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return path + ": " + std::strerror(errno);
    auto fail = [fd, &path](const char* what) {
        const std::string reason = path + ": " + what + ": " + std::strerror(errno);
        ::close(fd);
        return reason;
    };
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail("in use by another program");
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail("exclusive mode");
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return fail("not a serial line");
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, *speed);
    ::cfsetospeed(&tio, *speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail("line settings");
    // A pseudo-terminal has no modem lines ("Inappropriate ioctl"): not an error.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    ::tcflush(fd, TCIFLUSH);
    m_fd = fd;
    return std::nullopt;
}

void TSerialPort::Purge() noexcept
{
    if (m_fd >= 0)
        ::tcflush(m_fd, TCIFLUSH);
}

void TSerialPort::NoteLost(const char* what) noexcept
{
    try {
        if (!m_lost)
            m_lost = std::string(what);
    } catch (...) {
    }
}

std::optional<std::uint8_t> TSerialPort::ReadByte(std::chrono::steady_clock::time_point deadline) noexcept
{
    if (m_fd < 0 || m_lost)
        return std::nullopt;
    for (;;) {
        std::uint8_t b = 0;
        const ssize_t n = ::read(m_fd, &b, 1);
        if (n == 1)
            return b;
        if (n < 0 && IsGone(errno)) {
            NoteLost(std::strerror(errno));
            return std::nullopt;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return std::nullopt;
        // Waiting in poll() picks a byte up within microseconds of its arrival.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        pollfd p{m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p.revents & POLLIN)) {
            NoteLost("hang-up");
            return std::nullopt;
        }
    }
}

bool TSerialPort::WriteAll(std::span<const std::uint8_t> bytes) noexcept
{
    if (m_fd < 0 || m_lost)
        return false;
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && IsGone(errno)) {
            NoteLost(std::strerror(errno));
            return false;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

} // namespace platform
