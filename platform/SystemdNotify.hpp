#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace platform {

// What the service tells systemd when systemd started it (NOTIFY_SOCKET set);
// without systemd none of these does anything. Any thread; never throws.
void NotifyReady() noexcept;
void NotifyStatus(std::string_view text) noexcept;
void NotifyStopping() noexcept;
void NotifyWatchdog() noexcept;
// How often WATCHDOG=1 is due (half the unit's WatchdogSec); nullopt when
// systemd watches nothing.
std::optional<std::chrono::milliseconds> WatchdogInterval() noexcept;

} // namespace platform
