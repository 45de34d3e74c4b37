// Rush hour: the started service with 8 loops of 16 simulated readers (each
// loop on its own pseudo-terminal at 9600 baud), cards presented at random
// readers at random moments, 2 and 8 a second, the MariaDB site database
// behind a delay proxy on loopback that adds d ms to every round trip.
// Latency is from the last byte of the card reply to the first byte of its
// gate frame; a card without a gate frame within 5 s is unanswered.
//   scripts/bench   (starts the test servers)
#include "BenchSupport.hpp"

#include "config/Format.hpp"
#include "config/RegistryEx.hpp"
#include "loop/Loop.hpp"
#include "platform/MainLoop.hpp"
#include "service/Startup.hpp"
#include "service/VTService.hpp"
#include "tools/delayproxy/DelayProxy.hpp"
#include "tools/devsim/DeviceSim.hpp"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLoops = 8;
constexpr int kReaders = 16;
constexpr int kBaud = 9600;
constexpr auto kAnswerDeadline = 5s;
constexpr int kFirstCard = 10001;

struct TLine {
    int Master = -1;
    int Slave = -1;
    std::unique_ptr<tools::TDeviceSimulator> Sim;
};

struct TPresented {
    int Loop = 0;
    int Address = 0;
    int Card = 0;
};

struct TFigures {
    std::vector<double> LatencyMs;
    int Unanswered = 0;
    double PollsPerSecond = 0;  // per loop
};

bool Seed(db::TODBC& odbc, const std::string& computerName, int cards)
{
    std::vector<std::string> rows = {
        "INSERT INTO settings (reset_dadid) VALUES (0)",
        "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 0, 100000)",
        "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id) VALUES (1, 1, 1, 1, 1)",
        "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, day_9, "
        "start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
        "INSERT INTO messages (id, accepted) VALUES (1, 'Card %c')",
        config::Format("INSERT INTO card (number, type_id, first_name) SELECT seq, 1, CONCAT('F', seq) FROM "
                       "seq_%d_to_%d",
                       kFirstCard, kFirstCard + cards - 1),
    };
    for (int l = 1; l <= kLoops; ++l) {
        rows.push_back(config::Format("INSERT INTO `loop` (id, name, port, enabled) VALUES (%d, '%s', %d, 1)", l,
                                      computerName, l));
        for (int a = 1; a <= kReaders; ++a) {
            const int id = l * 100 + a;
            rows.push_back(config::Format("INSERT INTO device (id, loop_id, lot_id, addr_ess, name, dir_ection, "
                                          "open_pulse) VALUES (%d, %d, 1, %d, 'Gate %d', 3, 3)",
                                          id, l, a, id));
            rows.push_back(config::Format("INSERT INTO a_l_range_device VALUES (1, %d)", id));
        }
    }
    for (const auto& sql : rows)
        if (!bench::Run(odbc, sql))
            return false;
    return true;
}

// The service as the process runs it: the main loop on its thread, start-up
// and the main tick from the service's own timers.
class TRunningService {
public:
    TRunningService()
        : m_service(m_mainLoop, m_server, {.RestartInterval = 100ms}),
          m_mainThread([this] { m_mainLoop.Run(); }),
          m_serviceThread([this](std::stop_token stop) { m_service.ServiceExecute(stop); })
    {
    }
    ~TRunningService()
    {
        m_serviceThread.request_stop();
        m_serviceThread.join();
        m_mainThread.join();
    }
    bool WaitStarted()
    {
        const auto deadline = TClock::now() + 20s;
        while (TClock::now() < deadline) {
            bool started = false;
            m_mainLoop.Invoke([&] { started = m_server.Started; });
            if (started)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    platform::TMainLoop m_mainLoop;
    service::TServer m_server;
    service::TVELIXCard m_service;
    std::thread m_mainThread;
    std::jthread m_serviceThread;
};

// The gate frame that answers the card at the address, after the reply went out.
std::optional<double> LatencyOf(const std::vector<tools::TReceivedFrame>& frames,
                                const std::vector<tools::TSentReply>& sent, const TPresented& card,
                                std::size_t replyIndex)
{
    if (replyIndex >= sent.size())
        return std::nullopt;
    const std::string gate = "G003Card " + std::to_string(card.Card);
    for (const auto& f : frames)
        if (f.Address == card.Address && f.Data == gate)
            return std::chrono::duration<double, std::milli>(f.FirstByte - sent[replyIndex].At).count();
    return std::nullopt;
}

TFigures Rush(std::vector<TLine>& lines, double cardsPerSecond, int count, int& nextCard)
{
    std::mt19937 random(20261209 + count);
    std::exponential_distribution<double> gap(cardsPerSecond);
    std::uniform_int_distribution<int> loopOf(0, kLoops - 1), addressOf(1, kReaders);
    for (auto& l : lines)
        l.Sim->ClearFrames();
    std::vector<TPresented> presented;
    const auto start = TClock::now();
    auto at = start;
    for (int i = 0; i < count; ++i) {
        at += std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(gap(random)));
        std::this_thread::sleep_until(at);
        const TPresented card{loopOf(random), addressOf(random), nextCard++};
        lines[static_cast<std::size_t>(card.Loop)].Sim->Present(card.Address, 'C', std::to_string(card.Card));
        presented.push_back(card);
    }
    std::this_thread::sleep_for(kAnswerDeadline);
    const double seconds = std::chrono::duration<double>(TClock::now() - start).count();

    TFigures out;
    std::size_t polls = 0;
    std::vector<std::vector<tools::TReceivedFrame>> frames;
    std::vector<std::vector<tools::TSentReply>> sent;
    for (auto& l : lines) {
        frames.push_back(l.Sim->Frames());
        sent.push_back(l.Sim->RepliesSent());
        polls += frames.back().size();
    }
    out.PollsPerSecond = static_cast<double>(polls) / kLoops / seconds;
    // The replies of one address go out in the order they were presented.
    std::map<std::pair<int, int>, std::vector<std::size_t>> repliesOf;
    for (std::size_t l = 0; l < sent.size(); ++l)
        for (std::size_t i = 0; i < sent[l].size(); ++i)
            repliesOf[{static_cast<int>(l), sent[l][i].Address}].push_back(i);
    std::map<std::pair<int, int>, std::size_t> used;
    for (const auto& card : presented) {
        const auto key = std::make_pair(card.Loop, card.Address);
        const std::size_t nth = used[key]++;
        const auto& replies = repliesOf[key];
        const auto latency =
            nth < replies.size()
                ? LatencyOf(frames[static_cast<std::size_t>(card.Loop)], sent[static_cast<std::size_t>(card.Loop)],
                            card, replies[nth])
                : std::nullopt;
        if (latency && *latency <= std::chrono::duration<double, std::milli>(kAnswerDeadline).count())
            out.LatencyMs.push_back(*latency);
        else
            ++out.Unanswered;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    // Cards at 2 a second, and at 8 (the runs had 240 at 8 a second).
    const int slowCards = argc > 1 ? std::atoi(argv[1]) : 60;
    const int fastCards = argc > 2 ? std::atoi(argv[2]) : 160;
    if (bench::Env("ODBCSYSINI").empty() || bench::Env("VELIX_MARIADB_PORT").empty()) {
        std::fprintf(stderr, "ODBCSYSINI and VELIX_MARIADB_PORT must be set: run scripts/bench\n");
        return 2;
    }
    const std::string dir = bench::Env("VELIX_BENCH_DIR").empty() ? "/tmp" : bench::Env("VELIX_BENCH_DIR");
    const std::string home = dir + "/benchrush-home";
    std::filesystem::remove_all(home + "/log");
    std::filesystem::create_directories(home + "/ports");
    ::setenv("VELIXCARD_HOME", home.c_str(), 1);
    ::setenv("VELIXCARD_REGISTRY", (home + "/registry.reg").c_str(), 1);
    bench::TSite site;
    for (const auto& s : bench::Sites("velixbenchrush"))
        if (s.MySql)
            site = s;

    std::vector<TLine> lines(kLoops);
    for (int l = 0; l < kLoops; ++l) {
        char name[256] = {};
        if (::openpty(&lines[l].Master, &lines[l].Slave, name, nullptr, nullptr) != 0)
            return 1;
        termios tio{};
        ::tcgetattr(lines[l].Master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(lines[l].Master, TCSANOW, &tio);
        const std::string link = home + "/ports/COM" + std::to_string(l + 1);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(name, link);
        std::set<int> addresses;
        for (int a = 1; a <= kReaders; ++a)
            addresses.insert(a);
        lines[l].Sim = std::make_unique<tools::TDeviceSimulator>(lines[l].Master, kBaud, addresses);
    }

    std::printf("%-28s %6s %8s %8s %8s %8s %10s %10s  %s\n", "rush hour, 8 loops x 16", "cards", "p50 ms",
                "p90 ms", "p99 ms", "max ms", "unanswered", "polls/s", "target");
    const std::string port = bench::Env("VELIX_MARIADB_PORT");
    for (const int d : {0, 2, 5, 10}) {
        db::TODBC odbc;
        bench::WriteRegistry(home + "/registry.reg", site);
        const std::string computer = config::LowerCase(config::ComputerName());
        if (!bench::Prepare(site, odbc) || !Seed(odbc, computer, slowCards + fastCards))
            return 1;
        tools::TDelayProxy proxy(std::atoi(port.c_str()), std::chrono::microseconds(d * 500));
        bench::TSite behind = site;
        behind.RegistryOptions = "SERVER=%h;PORT=" + std::to_string(proxy.Port()) + ";database=%d";
        bench::WriteRegistry(home + "/registry.reg", behind);
        TRunningService service;
        if (!service.WaitStarted()) {
            std::fprintf(stderr, "the service did not start; see %s/log\n", home.c_str());
            return 1;
        }
        std::this_thread::sleep_for(2s);  // every device past first contact
        int nextCard = kFirstCard;
        for (const auto& [rate, count] : {std::pair{2.0, slowCards}, std::pair{8.0, fastCards}}) {
            const TFigures f = Rush(lines, rate, count, nextCard);
            const char* target = "";
            if (d == 0 && rate == 2.0)
                target = "p50 <= 14";
            else if (d == 5 && rate == 2.0)
                target = "p99 <= 150";
            else if (d == 10 && rate == 8.0)
                target = "all answered, p99 <= 300";
            std::printf("%-28s %6d %8.1f %8.1f %8.1f %8.1f %10d %10.1f  %s\n",
                        config::Format("%.0f cards/s, d = %d ms", rate, d).c_str(), count,
                        bench::Percentile(f.LatencyMs, 0.5), bench::Percentile(f.LatencyMs, 0.9),
                        bench::Percentile(f.LatencyMs, 0.99), bench::Percentile(f.LatencyMs, 1.0), f.Unanswered,
                        f.PollsPerSecond, target);
            std::fflush(stdout);
        }
    }
    for (auto& l : lines) {
        l.Sim.reset();
        ::close(l.Master);
        ::close(l.Slave);
    }
    return 0;
}
