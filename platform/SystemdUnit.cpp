#include "platform/SystemdUnit.hpp"

#include "platform/FileText.hpp"
#include "platform/Paths.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace platform {
namespace {

bool SystemdRunning()
{
    return IsDirectory("/run/systemd/system");
}

bool ManagesMachine()
{
    return EnvOrEmpty("VELIXCARD_UNIT_DIR").empty() && SystemdRunning();
}

// Runs systemctl with the given arguments; the error text on failure.
bool Systemctl(const std::vector<std::string>& args, std::string& error)
{
    std::vector<char*> argv;
    std::string prog = "systemctl";
    argv.push_back(prog.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        error = std::string("systemctl: ") + std::strerror(rc);
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "systemctl " + args.front() + " failed";
        return false;
    }
    return true;
}

std::string UnitText(const TUnitDescription& unit)
{
    std::string text = "[Unit]\n"
                       "Description=" + unit.DisplayName + "\n"
                       "After=network-online.target mariadb.service\n"
                       "Wants=network-online.target\n"
                       "\n"
                       "[Service]\n"
                       "Type=notify\n"
                       "User=root\n"
                       "ExecStart=" + unit.ExecPath + "\n";
    for (const char* name : {"VELIXCARD_HOME", "VELIXCARD_REGISTRY"}) {
        const std::string value = EnvOrEmpty(name);
        if (!value.empty())
            text += std::string("Environment=\"") + name + "=" + value + "\"\n";
    }
    // A main thread stuck for this long (no timer ran) gets the service restarted.
    text += "WatchdogSec=30\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "KillSignal=SIGTERM\n"
            "TimeoutStopSec=30\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n";
    return text;
}

} // namespace

std::string UnitFolder()
{
    const std::string dir = EnvOrEmpty("VELIXCARD_UNIT_DIR");
    return dir.empty() ? std::string("/etc/systemd/system") : dir;
}

bool InstallUnit(const TUnitDescription& unit, std::string& error)
{
    const std::string folder = UnitFolder();
    if (!IsDirectory(folder)) {
        error = "Folder " + folder + " does not exist";
        return false;
    }
    const std::string path = folder + "/" + unit.Name + ".service";
    TReplaceFile file(path);
    if (!file.Write(UnitText(unit)) || !file.Commit()) {
        error = "Cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (ManagesMachine()) {
        if (!Systemctl({"daemon-reload"}, error) || !Systemctl({"enable", unit.Name + ".service"}, error))
            return false;
    }
    return true;
}

bool UninstallUnit(const TUnitDescription& unit, std::string& error)
{
    const std::string path = UnitFolder() + "/" + unit.Name + ".service";
    if (!FileExists(path)) {
        error = "The service is not installed (" + path + " not found)";
        return false;
    }
    if (ManagesMachine()) {
        std::string ignored;
        Systemctl({"disable", unit.Name + ".service"}, ignored);
    }
    if (::unlink(path.c_str()) != 0) {
        error = "Cannot remove " + path + ": " + std::strerror(errno);
        return false;
    }
    if (ManagesMachine()) {
        std::string ignored;
        Systemctl({"daemon-reload"}, ignored);
    }
    return true;
}

} // namespace platform
