#pragma once

#include <string_view>

namespace platform {

// Whether the process runs as a systemd service (systemd gives it an
// invocation id): only then do message-log lines also go to the journal.
bool UnderSystemd() noexcept;
// A message-log line's journal priority: an error for lines about failures,
// informational for the rest.
int JournalPriority(std::string_view line) noexcept;
// Sends one message-log line to the journal, under systemd; nothing otherwise.
void JournalLine(std::string_view line) noexcept;

} // namespace platform
