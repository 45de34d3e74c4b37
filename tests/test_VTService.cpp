#include "service/VTService.hpp"

#include "TestSupport.hpp"

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using service::TVELIXCard;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TTempDir;

namespace {

class TFakeCore : public service::TServiceCore {
public:
    bool StartUp(platform::TTimer& timMain) override
    {
        ++StartUps;
        if (StartUpThrows)
            throw std::runtime_error("boom");
        Started = StartUpResult;
        timMain.SetEnabled(Started);
        return Started;
    }
    void ShutDown(platform::TTimer& timMain) override
    {
        ShutDownThreads.push_back(std::this_thread::get_id());
        timMain.SetEnabled(false);
        Started = false;
    }
    void MainTick(platform::TTimer&) override
    {
        TickStarts.push_back(std::chrono::steady_clock::now());
        if (TickWork > 0ms)
            std::this_thread::sleep_for(TickWork);
        if (OnTick)
            OnTick();
        if (TickThrows)
            throw std::runtime_error("tick failed");
    }
    int StartUps = 0;
    bool StartUpResult = false;
    bool StartUpThrows = false;
    bool TickThrows = false;
    std::chrono::milliseconds TickWork{0};
    std::function<void()> OnTick;
    std::vector<std::chrono::steady_clock::time_point> TickStarts;
    std::vector<std::thread::id> ShutDownThreads;
};

} // namespace

TEST(VTService, StartUpIsRetriedOnlyAfterMoreThanTwentyWholeSeconds)
{
    platform::TMainLoop loop;
    TFakeCore core;
    auto now = std::chrono::steady_clock::time_point(1000h);
    TVELIXCard module(loop, core, {.MainInterval = 750ms, .RestartInterval = 1000ms, .Now = [&] { return now; }});
    module.LastAttempt = now - 21s;

    struct TStep {
        const char* what;
        std::chrono::milliseconds advance;  // since the previous step
        bool startsUp;
    };
    const TStep steps[] = {
        {"first tick after execute", 0ms, true},
        {"one second after a failure", 1000ms, false},
        {"twenty seconds after", 19000ms, false},
        {"20.9 seconds after", 900ms, false},
        {"21 seconds after", 100ms, true},
        {"right after the second failure", 500ms, false},
    };
    int expected = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        now += s.advance;
        module.tmrRestartTimer();
        expected += s.startsUp ? 1 : 0;
        EXPECT_EQ(core.StartUps, expected);
        EXPECT_TRUE(module.tmrRestart.Enabled());
    }
}

TEST(VTService, TimersStayArmedThroughErrorsAndFollowStarted)
{
    platform::TMainLoop loop;
    TFakeCore core;
    TVELIXCard module(loop, core);
    core.StartUpThrows = true;
    module.LastAttempt = std::chrono::steady_clock::now() - 1h;
    module.tmrRestartTimer();
    EXPECT_TRUE(module.tmrRestart.Enabled());

    core.Started = true;
    core.TickThrows = true;
    module.timMainTimer();
    EXPECT_TRUE(module.timMain.Enabled()) << "an error escaping the tick re-arms the timer";

    core.TickThrows = false;
    core.OnTick = [&] { core.Started = false; };  // a restart request shuts down inside the tick
    module.timMainTimer();
    EXPECT_FALSE(module.timMain.Enabled());

    // While started, the restart timer does nothing.
    core.Started = true;
    const int before = core.StartUps;
    module.tmrRestartTimer();
    EXPECT_EQ(core.StartUps, before);
}

TEST(VTService, TicksComeOneIntervalAfterThePreviousTicksWorkAndStopRunsOnTheMainThread)
{
    platform::TMainLoop loop;
    TFakeCore core;
    core.StartUpResult = true;
    core.TickWork = 15ms;
    TVELIXCard module(loop, core, {.MainInterval = 20ms, .RestartInterval = 10ms});
    std::jthread serviceThread([&](std::stop_token stop) { module.ServiceExecute(stop); });
    core.OnTick = [&] {
        if (core.TickStarts.size() == 6)
            serviceThread.request_stop();
    };
    const auto mainThread = std::this_thread::get_id();
    loop.Run();
    serviceThread.join();

    EXPECT_EQ(core.StartUps, 1);
    ASSERT_GE(core.TickStarts.size(), 6u);
    for (std::size_t i = 1; i < core.TickStarts.size(); ++i)
        EXPECT_GE(core.TickStarts[i] - core.TickStarts[i - 1], 35ms) << "tick " << i;
    // ServiceStop and the end of ServiceExecute: two shutdowns, both on the main thread.
    ASSERT_EQ(core.ShutDownThreads.size(), 2u);
    for (const auto& id : core.ShutDownThreads)
        EXPECT_EQ(id, mainThread);
    EXPECT_FALSE(core.Started);
}

TEST(VTService, InstallAndUninstallManageTheUnitFile)
{
    TTempDir dir;
    const std::map<std::string, std::string> env = {{"VELIXCARD_UNIT_DIR", dir.Path()},
                                                    {"VELIXCARD_HOME", dir / "home"},
                                                    {"VELIXCARD_REGISTRY", dir / "r.reg"}};
    const std::string unit = dir / "VELIXCard.service";

    auto r = testing_support::Run({VELIXCARD_BIN, "/install"}, env);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "Service installed successfully\n");
    const std::string text = ReadFile(unit);
    EXPECT_NE(text.find("Description=VELIX Card Access Controller\n"), std::string::npos);
    EXPECT_NE(text.find("ExecStart=" + std::filesystem::canonical(VELIXCARD_BIN).string() + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("WantedBy=multi-user.target\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"VELIXCARD_HOME=" + dir / "home" + "\"\n"), std::string::npos);
    EXPECT_NE(text.find("Environment=\"VELIXCARD_REGISTRY=" + dir / "r.reg" + "\"\n"), std::string::npos);

    r = testing_support::Run({VELIXCARD_BIN, "-UnInstall", "silent"}, env);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_FALSE(std::filesystem::exists(unit));

    r = testing_support::Run({VELIXCARD_BIN, "UNINSTALL"}, env);
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err.rfind("Service \"VELIX Card Access Controller\" failed to uninstall with error: \"", 0), 0u)
        << r.Err;

    r = testing_support::Run({VELIXCARD_BIN, "INSTALL"}, {{"VELIXCARD_UNIT_DIR", dir / "missing"}});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Err.rfind("Service \"VELIX Card Access Controller\" failed to install with error: \"", 0), 0u);
}

TEST(VTService, ScrambleSwitchPrintsTheStoredForm)
{
    auto r = testing_support::Run({VELIXCARD_BIN, "SCRAMBLE", "pelmox"}, {});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out, "qgoqt3\n");
    r = testing_support::Run({VELIXCARD_BIN, "SCRAMBLE", "no\"quote"}, {});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "");
}

TEST(VTService, RealProcessStartsRetriesAndStopsOnSigterm)
{
    TTempDir dir;
    const std::string home = dir / "home";
    // A database that refuses: nothing listens on port 1.
    testing_support::WriteFile(dir / "r.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                              "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n"
                                              "\"ODBCDriver\"=\"MariaDB\"\r\n"
                                              "\"ODBCOptions\"=\"SERVER=%h;PORT=1;database=%d\"\r\n");
    // A datagram socket in place of systemd's, with a watchdog of 200 ms.
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string notifyPath = dir / "notify";
    std::strncpy(address.sun_path, notifyPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{0, 100000};
    ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::vector<std::string> notices;
    std::atomic<bool> listening{true};
    std::thread listener([&] {
        char buf[512];
        while (listening) {
            const ssize_t n = ::recv(notify, buf, sizeof buf, 0);
            if (n > 0)
                notices.emplace_back(buf, static_cast<std::size_t>(n));
        }
    });
    testing_support::TChild child({VELIXCARD_BIN}, {{"VELIXCARD_HOME", home},
                                                    {"VELIXCARD_REGISTRY", dir / "r.reg"},
                                                    {"NOTIFY_SOCKET", notifyPath},
                                                    {"WATCHDOG_USEC", "200000"}});
    const std::string logFolder = home + "/log";
    auto logText = [&] {
        std::string all;
        if (std::filesystem::exists(logFolder))
            for (const auto& e : std::filesystem::directory_iterator(logFolder))
                all += ReadFile(e.path());
        return all;
    };
    ASSERT_TRUE(testing_support::WaitFor([&] { return logText().find("End Log") != std::string::npos; }, 10s))
        << child.Output();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(10s), 0) << child.Output();
    listening = false;
    listener.join();
    ::close(notify);
    // Ready once the main loop ran, the start-up outcome, the main thread's
    // watchdog pings, and the stop.
    auto at = [&](const std::string& text) { return std::find(notices.begin(), notices.end(), text); };
    ASSERT_NE(at("READY=1"), notices.end());
    ASSERT_NE(at("STATUS=Start-up failed, retrying: no connection to the database"), notices.end());
    EXPECT_GE(std::count(notices.begin(), notices.end(), "WATCHDOG=1"), 2);
    ASSERT_NE(at("STOPPING=1"), notices.end());
    EXPECT_LT(at("READY=1"), at("STOPPING=1"));

    std::vector<std::string> messages;
    for (const auto& line : SplitLines(logText())) {
        std::string m = line.size() > 24 && line[0] != '.' ? line.substr(24) : line.substr(0, 21);
        if (m.find(". State:  ") != std::string::npos)
            m = "(driver diagnostic)";
        messages.push_back(m);
    }
    const std::vector<std::string> expected = {std::string(21, '.'),
                                               "Start Log",
                                               "Starting server, Reading Registry",
                                               "Connecting to: 127.0.0.1, Database: gtw",
                                               "Connecting to gtw",
                                               "Pinging - 127.0.0.1",
                                               "Ping OK",
                                               "(driver diagnostic)",
                                               "Could not connect to DataSource, check your setup...",
                                               "Failed connection, check ODBC install and parameters, retrying in 20 seconds",
                                               "ShutDown...",
                                               "End Log"};
    EXPECT_EQ(messages, expected);
    // The registry file was created with the product key on first read.
    EXPECT_NE(ReadFile(dir / "r.reg").find("[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]"), std::string::npos);
}

TEST(VTService, MainThreadIsKnownToOtherThreadsWhileTheLoopStarts)
{
    // The service thread asks OnMainThread while the main thread enters Run.
    for (int i = 0; i < 50; ++i) {
        platform::TMainLoop loop;
        std::atomic<bool> stop{false};
        std::thread asker([&] {
            while (!stop)
                EXPECT_FALSE(loop.OnMainThread());
        });
        std::thread runner([&] { loop.Run(); });
        bool onMain = false;
        loop.Invoke([&] { onMain = loop.OnMainThread(); });
        EXPECT_TRUE(onMain);
        stop = true;
        asker.join();
        loop.Quit();
        runner.join();
    }
}

TEST(VTService, MainLoopGoesOnAfterACallThatThrows)
{
    platform::TMainLoop loop;
    std::thread runner([&] { loop.Run(); });
    loop.Post([] { throw std::runtime_error("posted call failed"); });
    EXPECT_TRUE(loop.Invoke([] { throw std::runtime_error("invoked call failed"); }));
    bool ran = false;
    EXPECT_TRUE(loop.Invoke([&] { ran = true; })) << "the main thread still runs calls";
    EXPECT_TRUE(ran);
    loop.Quit();
    runner.join();
}
