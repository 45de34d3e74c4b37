#include "platform/Journal.hpp"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace platform {
namespace {

// Words of the message log's lines about something that went wrong.
constexpr std::string_view kFailureWords[] = {"error",   "exception", "fail",      "could not", "cannot",
                                              "not sent", "lost",     "'dead'",    "refused",   "unreachable",
                                              "problem",  "invalid",  "not found", "full"};

} // namespace

bool UnderSystemd() noexcept
{
    static const bool under = std::getenv("INVOCATION_ID") != nullptr;
    return under;
}

int JournalPriority(std::string_view line) noexcept
{
    try {
        std::string lower(line);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        for (const auto word : kFailureWords)
            if (lower.find(word) != std::string::npos)
                return LOG_ERR;
    } catch (...) {
    }
    return LOG_INFO;
}

void JournalLine(std::string_view line) noexcept
{
    if (!UnderSystemd() || line.empty())
        return;
    try {
        const std::string text(line);
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", JournalPriority(text), "SYSLOG_IDENTIFIER=VELIXCard",
                        nullptr);
    } catch (...) {
    }
}

} // namespace platform
