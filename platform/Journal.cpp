#include "platform/Journal.hpp"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <string>

namespace platform {
namespace {

int SyslogPriority(TJournalPriority priority)
{
    switch (priority) {
    case TJournalPriority::Error: return LOG_ERR;
    case TJournalPriority::Warning: return LOG_WARNING;
    case TJournalPriority::Info: break;
    }
    return LOG_INFO;
}

} // namespace

bool UnderSystemd() noexcept
{
    static const bool under = std::getenv("INVOCATION_ID") != nullptr;
    return under;
}

void JournalLine(std::string_view line, TJournalPriority priority, int loop) noexcept
{
    if (!UnderSystemd() || line.empty())
        return;
    try {
        const std::string text(line);
        if (loop > 0)
            sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", SyslogPriority(priority),
                            "SYSLOG_IDENTIFIER=VELIXCard", "VELIX_LOOP=%d", loop, nullptr);
        else
            sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", SyslogPriority(priority),
                            "SYSLOG_IDENTIFIER=VELIXCard", nullptr);
    } catch (...) {
    }
}

} // namespace platform
