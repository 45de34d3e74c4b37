// velixcard-devsim: field devices on the far end of a serial line, for tests,
// the demo and commissioning a loop without hardware.
#include "tools/devsim/DeviceSim.hpp"

#include "line/Protocol.hpp"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr const char* kUsage =
    "Usage: velixcard-devsim [--device PATH | --link PATH] [--baud N] [--addr LIST] [--script FILE] [--quiet]\n"
    "  --device PATH  use this serial device instead of a new pseudo-terminal\n"
    "  --link PATH    make PATH a link to the far end (e.g. <home>/ports/COM1)\n"
    "  --baud N       line speed for pacing (default 9600)\n"
    "  --addr LIST    emulated addresses, e.g. 1-4,7 (default 1)\n"
    "  --script FILE  read commands from FILE before standard input\n"
    "  --quiet        do not print the frames received\n"
    "Commands (one a line):\n"
    "  card A NUMBER        present a card at address A (reply C)\n"
    "  memory A RECORD      a memory record (reply M)\n"
    "  barcode A CODE       a barcode read (reply #)\n"
    "  issue A RECORD       a spitter issue record (reply C, 17 characters)\n"
    "  printer A STATUS     printer status (reply J)\n"
    "  counter A PAYLOAD    counter payload answered to R polls\n"
    "  input A PAYLOAD      input payload answered to I polls (first character = bit mask)\n"
    "  powerup A [p]        power-up reply P (or p: time-stamp capable)\n"
    "  reply A TYPE [TEXT]  any reply type and payload\n"
    "  silent A | back A    stop answering, answer again\n"
    "  late A | ontime A    answer presented replies in the next address's window, or in time again\n"
    "  sleep MS             wait\n"
    "  quit\n";

std::set<int> ParseAddresses(const std::string& list)
{
    std::set<int> out;
    std::stringstream ss(list);
    std::string item;
    while (std::getline(ss, item, ',')) {
        const auto dash = item.find('-');
        const int from = std::atoi(item.substr(0, dash).c_str());
        const int to = dash == std::string::npos ? from : std::atoi(item.substr(dash + 1).c_str());
        for (int a = from; a <= to; ++a)
            if (a >= 1 && a <= 16)
                out.insert(a);
    }
    return out;
}

bool Command(tools::TDeviceSimulator& sim, const std::string& lineText)
{
    std::istringstream in(lineText);
    std::string verb;
    if (!(in >> verb) || verb[0] == '#')
        return true;
    if (verb == "quit")
        return false;
    if (verb == "sleep") {
        int ms = 0;
        in >> ms;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return true;
    }
    int address = 0;
    if (!(in >> address) || address < 1 || address > 16) {
        std::fprintf(stderr, "devsim: %s needs an address 1..16\n", verb.c_str());
        return true;
    }
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (verb == "card" || verb == "issue")
        sim.Present(address, line::protocol::kCardReply, rest);
    else if (verb == "memory")
        sim.Present(address, line::protocol::kMemoryReply, rest);
    else if (verb == "barcode")
        sim.Present(address, '#', rest);
    else if (verb == "printer")
        sim.Present(address, line::protocol::kPrinterReply, rest);
    else if (verb == "counter")
        sim.SetCounter(address, rest);
    else if (verb == "input")
        sim.SetInput(address, rest);
    else if (verb == "powerup")
        sim.Present(address, rest == "p" ? line::protocol::kStampPowerUpReply : line::protocol::kPowerUpReply, "");
    else if (verb == "reply" && !rest.empty())
        sim.Present(address, rest[0], rest.size() > 2 ? rest.substr(2) : std::string());
    else if (verb == "silent")
        sim.SetSilent(address, true);
    else if (verb == "back")
        sim.SetSilent(address, false);
    else if (verb == "late" || verb == "ontime")
        sim.SetLate(address, verb == "late");
    else
        std::fprintf(stderr, "devsim: unknown command '%s'\n", verb.c_str());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string device, link, script;
    int baud = 9600;
    bool quiet = false;
    std::set<int> addresses = {1};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n%s", a.c_str(), kUsage);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--device")
            device = next();
        else if (a == "--link")
            link = next();
        else if (a == "--baud")
            baud = std::atoi(next().c_str());
        else if (a == "--addr")
            addresses = ParseAddresses(next());
        else if (a == "--script")
            script = next();
        else if (a == "--quiet")
            quiet = true;
        else if (a == "--help" || a == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else {
            std::fprintf(stderr, "unknown argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (baud <= 0) {
        std::fprintf(stderr, "bad baud rate\n");
        return 2;
    }
    int fd = -1;
    std::string farEnd = device;
    int slave = -1;
    if (device.empty()) {
        char name[256] = {};
        if (::openpty(&fd, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
        farEnd = name;
    } else {
        fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            std::perror(device.c_str());
            return 1;
        }
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(farEnd.c_str(), link.c_str()) != 0) {
            std::perror(link.c_str());
            return 1;
        }
    }
    std::printf("far end: %s\n", farEnd.c_str());
    std::fflush(stdout);
    tools::TDeviceSimulator sim(fd, baud, addresses);
    if (!quiet)
        sim.SetTrace(stdout);
    bool running = true;
    if (!script.empty()) {
        std::ifstream in(script);
        std::string l;
        while (running && std::getline(in, l))
            running = Command(sim, l);
    }
    std::string l;
    while (running && std::getline(std::cin, l))
        running = Command(sim, l);
    // Standard input closed (started in the background): serve until killed.
    while (running)
        std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!link.empty())
        ::unlink(link.c_str());
    if (slave >= 0)
        ::close(slave);
    return 0;
}
