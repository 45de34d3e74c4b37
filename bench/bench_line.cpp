// Poll throughput of one line with 16 simulated devices answering ACK (the
// simulator, a separate process, paces at 9600 baud), against the line-rate
// bound; and the CPU time the line costs this process, with 16 answering and
// with 16 silent addresses. Prints the figures.
//   build/bench/bench_line [seconds]
#include "BenchSupport.hpp"

#include "line/Card.hpp"
#include "platform/MainLoop.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

double CpuSeconds()
{
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct TFigures {
    double PollsPerSecond = 0;
    double CpuPercent = 0;
};

TFigures Measure(const std::string& home, const std::string& simAddresses, double seconds)
{
    const std::string link = home + "/ports/COM1";
    bench::TSim sim = bench::StartSim(link, simAddresses);
    platform::TMainLoop loop;
    std::thread mainThread([&] { loop.Run(); });
    TFigures f;
    {
        line::TCard card(loop);
        card.SetFirstReader(1);
        card.SetLastReader(16);
        if (!card.Open()) {
            std::fprintf(stderr, "open failed: %s\n", card.LastOpenError().c_str());
            std::exit(1);
        }
        // Count the frames the simulator prints while we measure.
        std::atomic<long> frames{0};
        std::atomic<bool> counting{false};
        std::thread reader([&] {
            char line[512];
            while (std::fgets(line, sizeof line, sim.Out))
                if (counting)
                    ++frames;
        });
        std::this_thread::sleep_for(std::chrono::seconds(1));  // past first contact
        const double cpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        counting = true;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        counting = false;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = CpuSeconds() - cpu0;
        card.Close();
        ::kill(sim.Pid, SIGTERM);
        ::waitpid(sim.Pid, nullptr, 0);
        reader.join();
        f.PollsPerSecond = static_cast<double>(frames.load()) / wall;
        // The reader thread above is the benchmark's own; it costs little but is counted.
        f.CpuPercent = 100.0 * cpu / wall;
    }
    std::fclose(sim.Out);
    loop.Quit();
    mainThread.join();
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const std::string home = std::filesystem::temp_directory_path() / ("velixbench." + std::to_string(::getpid()));
    std::filesystem::create_directories(home + "/ports");
    ::setenv("VELIXCARD_HOME", home.c_str(), 1);

    // A general poll is 5 bytes, an ACK 1 byte, 10 bits a byte at 9600 baud.
    const double bound = 9600.0 / (10.0 * (5 + 1));
    const TFigures answering = Measure(home, "1-16", seconds);
    // The simulator emulates no device at 16 addresses: every poll times out.
    const TFigures silent = Measure(home, "0", seconds);
    std::filesystem::remove_all(home);

    std::printf("%-52s %10s %s\n", "figure", "value", "target");
    std::printf("%-52s %10.1f\n", "line-rate bound, general polls per second", bound);
    std::printf("%-52s %10.1f\n", "achieved, 16 devices answering ACK", answering.PollsPerSecond);
    std::printf("%-52s %10.3f >= 0.9\n", "achieved / bound", answering.PollsPerSecond / bound);
    std::printf("%-52s %10.2f < 2 %%\n", "CPU of the open line, 16 answering (% of a core)", answering.CpuPercent);
    std::printf("%-52s %10.2f < 2 %%\n", "CPU of the open line, 16 silent (% of a core)", silent.CpuPercent);
    return 0;
}
