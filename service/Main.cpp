#include "config/MessLog.hpp"
#include "config/Scrambler.hpp"
#include "platform/MainLoop.hpp"
#include "platform/Paths.hpp"
#include "platform/Signals.hpp"
#include "platform/SystemdNotify.hpp"
#include "platform/SystemdUnit.hpp"
#include "service/Operator.hpp"
#include "service/Startup.hpp"
#include "service/VTService.hpp"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: velixcard [INSTALL | UNINSTALL] [SILENT]\n"
    "       velixcard SCRAMBLE <text>\n"
    "       velixcard CHECK | STATUS\n"
    "       velixcard --help | --version\n"
    "\n"
    "With no switch the service runs in the foreground until SIGTERM or SIGINT.\n"
    "Switches may start with \"/\" or \"-\" and ignore letter case.\n"
    "  INSTALL    write the systemd unit VELIXCard.service and enable it\n"
    "  UNINSTALL  disable and remove the unit\n"
    "  SILENT     print nothing on success\n"
    "  SCRAMBLE   print the stored form of a password for the registry value \"Pass\"\n"
    "  CHECK      what the service would find: registry, settings, driver, database,\n"
    "             schema, loops and ports; exit status 1 when it could not start\n"
    "  STATUS     loops, devices, last transactions and lots as the database shows them\n"
    "\n"
    "Files:\n"
    "  <home>/velixcard.ini        loop settings (section [Settings]); fills itself with defaults\n"
    "  <home>/log/dadid1..7.log    message log, one file per weekday (1 = Sunday)\n"
    "  <home>/ports/COM<n>         serial port links; without one, port n is /dev/ttyS<n-1>\n"
    "  registry file               HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix values (.reg format)\n"
    "\n"
    "Environment:\n"
    "  VELIXCARD_HOME      home folder (default: the folder of the program)\n"
    "  VELIXCARD_REGISTRY  registry file (default /etc/velixcard/registry.reg)\n"
    "  VELIXCARD_UNIT_DIR  folder for INSTALL/UNINSTALL (default /etc/systemd/system;\n"
    "                      when set, systemctl is not called)\n"
    "  ODBCSYSINI          folder of odbcinst.ini/odbc.ini for unixODBC\n";

std::string Switch(std::string arg)
{
    if (!arg.empty() && (arg.front() == '/' || arg.front() == '-'))
        arg.erase(0, arg.find_first_not_of("/-"));
    for (auto& c : arg)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return arg;
}

int InstallOrUninstall(bool install, bool silent)
{
    const platform::TUnitDescription unit{.Name = service::TVELIXCard::kServiceName,
                                          .DisplayName = service::TVELIXCard::kDisplayName,
                                          .ExecPath = platform::ExecutablePath()};
    std::string error;
    const bool ok = install ? platform::InstallUnit(unit, error) : platform::UninstallUnit(unit, error);
    if (ok) {
        if (!silent)
            std::printf("%s\n", install ? "Service installed successfully" : "Service uninstalled successfully");
        return 0;
    }
    if (!silent)
        std::fprintf(stderr, install ? "Service \"%s\" failed to install with error: \"%s\"\n"
                                     : "Service \"%s\" failed to uninstall with error: \"%s\"\n",
                     unit.DisplayName.c_str(), error.c_str());
    return 1;
}

int Scramble(const std::string& text)
{
    const auto stored = config::Scramble(text);
    if (!stored) {
        std::fprintf(stderr,
                     "SCRAMBLE: the text holds a character that a stored password cannot carry.\n"
                     "Allowed: letters, digits, space and %s\n",
                     std::string(config::kScramblerAlphabet.substr(63)).c_str());
        return 1;
    }
    std::printf("%s\n", stored->c_str());
    return 0;
}

int RunService()
{
    platform::BlockStopSignals();
    platform::TMainLoop loop;
    service::TServer server;
    service::TVELIXCard module(loop, server);
    std::jthread serviceThread([&module](std::stop_token stop) { module.ServiceExecute(stop); });
    loop.Post([] { platform::NotifyReady(); });  // once the main loop runs
    loop.Run();
    serviceThread.join();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return RunService();
    bool install = false, uninstall = false, silent = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string s = Switch(args[i]);
        if (s == "HELP" || s == "H") {
            std::printf("%s", kUsage);
            return 0;
        }
        if (s == "VERSION") {
            std::printf("velixcard %s\n", config::FileVersionText().c_str());
            return 0;
        }
        if (s == "SCRAMBLE") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "SCRAMBLE needs the text to scramble\n");
                return 2;
            }
            return Scramble(args[i + 1]);
        }
        if (s == "CHECK")
            return service::RunCheck(stdout);
        if (s == "STATUS")
            return service::RunStatus(stdout);
        if (s == "INSTALL")
            install = true;
        else if (s == "UNINSTALL")
            uninstall = true;
        else if (s == "SILENT")
            silent = true;
        else {
            std::fprintf(stderr, "Unknown argument \"%s\"\n\n%s", args[i].c_str(), kUsage);
            return 2;
        }
    }
    if (install == uninstall) {
        std::fprintf(stderr, "%s", kUsage);
        return 2;
    }
    return InstallOrUninstall(install, silent);
}
