#pragma once

#include <string_view>

namespace platform {

// Whether the process runs as a systemd service (systemd gives it an
// invocation id): only then do message-log lines also go to the journal.
bool UnderSystemd() noexcept;
enum class TJournalPriority { Info, Warning, Error };
// Sends one message-log line to the journal with its priority (and the loop
// whose work it is, when not 0), under systemd; nothing otherwise.
void JournalLine(std::string_view line, TJournalPriority priority, int loop = 0) noexcept;

} // namespace platform
