#include "platform/SystemdNotify.hpp"

#include <systemd/sd-daemon.h>

#include <string>

namespace platform {

void NotifyReady() noexcept
{
    sd_notify(0, "READY=1");
}

void NotifyStatus(std::string_view text) noexcept
{
    try {
        std::string line = "STATUS=";
        for (const char c : text)
            line += c == '\n' ? ' ' : c;
        sd_notify(0, line.c_str());
    } catch (...) {
    }
}

void NotifyStopping() noexcept
{
    sd_notify(0, "STOPPING=1");
}

void NotifyWatchdog() noexcept
{
    sd_notify(0, "WATCHDOG=1");
}

std::optional<std::chrono::milliseconds> WatchdogInterval() noexcept
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return std::nullopt;
    return std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
}

} // namespace platform
