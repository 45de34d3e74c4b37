#include "platform/Paths.hpp"

#include "platform/FileText.hpp"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

std::string EnvOrEmpty(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string ExecutablePath()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string HomeFolder()
{
    std::string home = EnvOrEmpty("VELIXCARD_HOME");
    if (home.empty())
        home = ParentFolder(ExecutablePath());
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

std::string RegistryPath()
{
    const std::string path = EnvOrEmpty("VELIXCARD_REGISTRY");
    return path.empty() ? std::string("/etc/velixcard/registry.reg") : path;
}

std::string SettingsFilePath()
{
    std::string exe = ExecutablePath();
    std::string base = exe.substr(exe.rfind('/') + 1);
    if (base.empty())
        base = "velixcard";
    return HomeFolder() + "/" + base + ".ini";
}

std::string HostName()
{
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return std::string();
    return std::string(buf);
}

} // namespace platform
