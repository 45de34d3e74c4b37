// The status listener's cost, side by side in one run: the monitoring a
// decision publishes (metrics and the site state), its median time with the
// listener idle and with 50 clients fetching the page, the status and the
// metrics as fast as they can (on this computer's cores, and standing in for
// clients elsewhere); and the poll rate of one line of 16 simulated devices
// (9600 baud) in each case. Prints figures.
//   scripts/bench
#include "BenchSupport.hpp"

#include "config/MessLog.hpp"
#include "line/Card.hpp"
#include "platform/MainLoop.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"
#include "service/StatusServer.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kClients = 50;
constexpr auto kRun = std::chrono::seconds(10);
constexpr int kPort = 39510;

struct TFigures {
    double PublishMedianUs = 0;
    double PollsPerSecond = 0;
    long Requests = 0;
};

// What a decision publishes, as the loop does it.
double PublishMedianUs()
{
    std::vector<double> times;
    for (int i = 0; i < 20000; ++i) {
        const auto start = TClock::now();
        auto& m = platform::Metrics();
        m.Add("velixcard_decisions_total", {{"result", "Accepted"}});
        m.Observe("velixcard_decision_seconds", {}, 0.004);
        m.Observe("velixcard_card_road_seconds", {}, 0.005);
        platform::SiteState().AddDecision(1, 1 + i % 16, std::to_string(1000 + i), "Accepted", "12:00:00");
        times.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
    }
    return bench::Percentile(times, 0.5);
}

TFigures Measure(const std::string& home, int clients, bench::TClientsAt where = bench::TClientsAt::Here)
{
    bench::TSim sim = bench::StartSim(home + "/ports/COM1", "1-16");
    std::thread drain([&] {
        char line[512];
        while (std::fgets(line, sizeof line, sim.Out)) {
        }
    });
    platform::TMainLoop loop;
    std::thread mainThread([&] { loop.Run(); });
    TFigures f;
    {
        line::TCard card(loop);
        card.LoopId = 1;
        card.SetFirstReader(1);
        card.SetLastReader(16);
        for (int a = 1; a <= 16; ++a)
            platform::SiteState().SetDevice(1, a, "Reader " + std::to_string(a), "reader");
        if (!card.Open())
            std::exit(1);
        {
            bench::TPageLoad load(kPort, clients, where);
            std::this_thread::sleep_for(std::chrono::seconds(1));  // past first contact
            const double polls0 = platform::Metrics().Value("velixcard_polls_total", {{"loop", "1"}});
            const auto t0 = TClock::now();
            f.PublishMedianUs = PublishMedianUs();
            std::this_thread::sleep_until(t0 + kRun);
            const double polls = platform::Metrics().Value("velixcard_polls_total", {{"loop", "1"}}) - polls0;
            f.PollsPerSecond = polls / std::chrono::duration<double>(TClock::now() - t0).count();
            f.Requests = load.Requests();
        }
        card.Close();
    }
    ::kill(sim.Pid, SIGTERM);
    ::waitpid(sim.Pid, nullptr, 0);
    drain.join();
    std::fclose(sim.Out);
    loop.Quit();
    mainThread.join();
    return f;
}

} // namespace

int main()
{
    const std::string home = std::filesystem::temp_directory_path() / ("velixstatus." + std::to_string(::getpid()));
    std::filesystem::create_directories(home + "/ports");
    ::setenv("VELIXCARD_HOME", home.c_str(), 1);
    config::TMessLog log(home + "/status.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    service::TStatusServer listener;
    if (!listener.Start("127.0.0.1:" + std::to_string(kPort), log))
        return 1;
    const TFigures idle = Measure(home, 0);
    const TFigures busy = Measure(home, kClients);
    const TFigures away = Measure(home, kClients, bench::TClientsAt::Elsewhere);
    std::filesystem::remove_all(home);
    std::printf("%-48s %12s %12s %12s\n", "status listener", "idle", "50 clients", "50 elsewhere");
    std::printf("%-48s %12.2f %12.2f %12.2f\n", "publishing one decision, median us", idle.PublishMedianUs,
                busy.PublishMedianUs, away.PublishMedianUs);
    std::printf("%-48s %12.1f %12.1f %12.1f  (%.3f, %.3f)\n", "polls per second, one line of 16 at 9600 baud",
                idle.PollsPerSecond, busy.PollsPerSecond, away.PollsPerSecond, busy.PollsPerSecond / idle.PollsPerSecond,
                away.PollsPerSecond / idle.PollsPerSecond);
    std::printf("%-48s %12ld %12ld %12ld\n", "requests answered in the run", idle.Requests, busy.Requests,
                away.Requests);
    return 0;
}
