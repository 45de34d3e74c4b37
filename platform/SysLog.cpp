#include "platform/SysLog.hpp"

#include <syslog.h>

#include <string>

namespace platform {
namespace {

void Write(int priority, std::string_view text) noexcept
{
    try {
        ::openlog("VELIXCard", LOG_PID | LOG_NDELAY, LOG_DAEMON);
        ::syslog(priority, "%s", std::string(text).c_str());
    } catch (...) {
    }
}

} // namespace

void SysLogError(std::string_view text) noexcept
{
    Write(LOG_ERR, text);
}

void SysLogInfo(std::string_view text) noexcept
{
    Write(LOG_INFO, text);
}

} // namespace platform
