#pragma once

#include <string>

namespace platform {

struct TUnitDescription {
    std::string Name;         // "VELIXCard" (the file is Name + ".service")
    std::string DisplayName;  // Description= line
    std::string ExecPath;     // full path of the program, no arguments
};

// Writes the unit into $VELIXCARD_UNIT_DIR (default /etc/systemd/system), with
// Environment= lines for VELIXCARD_HOME and VELIXCARD_REGISTRY when set. systemctl
// (daemon-reload, enable) runs only when $VELIXCARD_UNIT_DIR is not set and
// systemd is running. On failure returns false and sets error.
bool InstallUnit(const TUnitDescription& unit, std::string& error);
// Disables (same systemctl rule) and removes the unit.
bool UninstallUnit(const TUnitDescription& unit, std::string& error);
std::string UnitFolder();

} // namespace platform
