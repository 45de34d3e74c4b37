#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace platform {

// <home>/ports/COM<n> when it exists, else /dev/ttyS<n-1>.
std::string SerialPortPath(int portNumber);

// One serial line as a byte channel: raw 8N1, no flow control, DTR/RTS off,
// exclusive. Used by one thread at a time.
class TSerialPort {
public:
    TSerialPort() = default;
    ~TSerialPort();
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    // Opens and configures the line; on failure returns the reason and stays closed.
    std::optional<std::string> Open(const std::string& path, int baud);
    void Close() noexcept;
    bool IsOpen() const noexcept { return m_fd >= 0; }

    // Drops whatever the receive side holds.
    void Purge() noexcept;
    // Waits until deadline for one byte; nullopt on time-out or error.
    std::optional<std::uint8_t> ReadByte(std::chrono::steady_clock::time_point deadline) noexcept;
    // Writes every byte; false when the line refused some.
    bool WriteAll(std::span<const std::uint8_t> bytes) noexcept;

    // Why the device went away (unplugged adapter, closed far end), once a
    // read or write has found it gone; nothing while it is there. Open clears it.
    const std::optional<std::string>& Lost() const noexcept { return m_lost; }

private:
    void NoteLost(const char* what) noexcept;

    int m_fd = -1;
    std::optional<std::string> m_lost;
};

} // namespace platform
