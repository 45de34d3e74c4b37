#pragma once

#include <string_view>

namespace platform {

// The operating system's event log: syslog under the identity "VELIXCard".
void SysLogError(std::string_view text) noexcept;
void SysLogInfo(std::string_view text) noexcept;

} // namespace platform
