#pragma once

#include <string>

namespace platform {

// Full path of the running program (/proc/self/exe).
std::string ExecutablePath();
// $VELIXCARD_HOME when set, else the folder of the running program; no trailing slash.
std::string HomeFolder();
// $VELIXCARD_REGISTRY, default /etc/velixcard/registry.reg.
std::string RegistryPath();
// The settings file: <home>/<program base name>.ini.
std::string SettingsFilePath();
// The machine's host name, as the operating system reports it.
std::string HostName();
std::string EnvOrEmpty(const char* name);

} // namespace platform
