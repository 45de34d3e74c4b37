#include "line/Card.hpp"

#include "config/MessLog.hpp"
#include "line/Frame.hpp"
#include "line/Poll.hpp"
#include "platform/MainLoop.hpp"
#include "tools/devsim/DeviceSim.hpp"

#include "TestLine.hpp"
#include "TestSupport.hpp"

#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TTempDir;
using testing_support::WaitFor;

namespace {

struct TSeen {
    std::string What;  // "data 1 12345", "error 2", ...
    std::thread::id Thread;
    std::chrono::steady_clock::time_point At;
};

// A pseudo-terminal linked as <home>/ports/COM1, a device simulator on its far
// end, a main loop on a thread of its own, and a line on top.
class Line : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("VELIXCARD_HOME", m_home.Path().c_str(), 1);
        m_pty = std::make_unique<testing_support::TPseudoTerminal>(m_home / "ports/COM1");
        m_loopThread = std::thread([this] {
            m_mainThread = std::this_thread::get_id();
            m_loop.Run();
        });
        m_log = std::make_unique<config::TMessLog>(m_home / "line.log", config::TMessLog::TOptions{.NoHeader = true},
                                                   "");
        m_card = std::make_unique<line::TCard>(m_loop, m_log.get());
        // A wider reply window than a real line needs: test machines are loaded.
        m_card->OffLineDelay = 150;
        auto& e = m_card->Events;
        e.OnData = [this](int r, const std::string& v) { Seen("data " + std::to_string(r) + " " + v); };
        e.OnMemory = [this](int r, const std::string& v) { Seen("memory " + std::to_string(r) + " " + v); };
        e.OnCounter = [this](int r, const std::string& v) { Seen("counter " + std::to_string(r) + " " + v); };
        e.OnInput = [this](int r, const std::string& v) { Seen("input " + std::to_string(r) + " " + v); };
        e.OnError = [this](int r) { Seen("error " + std::to_string(r)); };
        e.OnPowerUp = [this](int r) { Seen("powerup " + std::to_string(r)); };
        e.OnErrorEx = [this](int r, bool c) { Seen("errorex " + std::to_string(r) + (c ? " true" : " false")); };
        e.OnInputOn = [this](int r, int b, int i) {
            Seen("on " + std::to_string(r) + " " + std::to_string(b) + " " + std::to_string(i));
        };
        e.OnInputOff = [this](int r, int b, int i) {
            Seen("off " + std::to_string(r) + " " + std::to_string(b) + " " + std::to_string(i));
        };
        e.OnButtonUp = [this](int r, const std::string& v) { Seen("up " + std::to_string(r) + " " + v); };
        e.OnButtonDown = [this](int r, const std::string& v) { Seen("down " + std::to_string(r) + " " + v); };
    }

    void TearDown() override
    {
        m_card.reset();
        m_sim.reset();
        m_loop.Quit();
        m_loopThread.join();
        m_pty.reset();
    }

    void StartSim(std::set<int> addresses)
    {
        m_sim = std::make_unique<tools::TDeviceSimulator>(m_pty->Master(), 115200, std::move(addresses));
    }

    void OpenLine(int first, int last)
    {
        m_card->SetFirstReader(first);
        m_card->SetLastReader(last);
        ASSERT_TRUE(m_card->Open()) << m_card->LastOpenError();
    }

    void Seen(std::string what)
    {
        std::scoped_lock lock(m_seenLock);
        m_seen.push_back({std::move(what), std::this_thread::get_id(), std::chrono::steady_clock::now()});
    }

    std::vector<std::string> SeenTexts()
    {
        std::scoped_lock lock(m_seenLock);
        std::vector<std::string> out;
        for (const auto& s : m_seen)
            out.push_back(s.What);
        return out;
    }

    bool SawEvent(const std::string& what, std::chrono::milliseconds deadline = 3s)
    {
        return WaitFor(
            [&] {
                const auto s = SeenTexts();
                return std::find(s.begin(), s.end(), what) != s.end();
            },
            deadline);
    }

    int CountEvent(const std::string& what)
    {
        const auto s = SeenTexts();
        return static_cast<int>(std::count(s.begin(), s.end(), what));
    }

    bool Received(int address, const std::string& data, std::chrono::milliseconds deadline = 3s)
    {
        return testing_support::Received(*m_sim, address, data, deadline);
    }

    TTempDir m_home;
    std::unique_ptr<testing_support::TPseudoTerminal> m_pty;
    platform::TMainLoop m_loop;
    std::thread m_loopThread;
    std::thread::id m_mainThread;
    std::mutex m_seenLock;
    std::vector<TSeen> m_seen;
    std::unique_ptr<config::TMessLog> m_log;
    std::unique_ptr<tools::TDeviceSimulator> m_sim;
    std::unique_ptr<line::TCard> m_card;
};

} // namespace

TEST(CardSettings, AddressRangeRules)
{
    platform::TMainLoop loop;
    line::TCard card(loop);
    EXPECT_EQ(card.Readers(), 0) << "a new line polls nothing";
    card.SetFirstReader(0);
    card.SetFirstReader(17);
    EXPECT_EQ(card.FirstReader(), 1);
    card.SetLastReader(17);
    EXPECT_EQ(card.LastReader(), 0);
    card.SetFirstReader(14);
    card.SetReaders(5);
    EXPECT_EQ(card.LastReader(), 16);
    card.SetReaders(0);
    EXPECT_EQ(card.LastReader(), 16);
    EXPECT_FALSE(card.GateOpenMsg(14, true, 1, "x")) << "a closed line sends nothing";
    EXPECT_EQ(card.CardNo(), "");
}

TEST_F(Line, PollsFromTheAddressAfterTheFirstAndReportsWhoAnswers)
{
    StartSim({1});
    OpenLine(1, 2);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    ASSERT_TRUE(SawEvent("error 2")) << "silent at the first poll: error at once";
    const auto frames = m_sim->Frames();
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].Address, 2);
    EXPECT_EQ(frames[0].Data, "C");
    EXPECT_EQ(frames[1].Address, 1);
    EXPECT_FALSE(frames[0].PayOnFoot);
    const auto seen = SeenTexts();
    const auto up = std::find(seen.begin(), seen.end(), "powerup 1");
    ASSERT_NE(up, seen.end());
    EXPECT_EQ(*(up + 1), "errorex 1 true") << "power-up, then the extended status";
    std::scoped_lock lock(m_seenLock);
    for (const auto& s : m_seen)
        EXPECT_EQ(s.Thread, m_mainThread) << s.What;
}

TEST_F(Line, SilentDeviceGoesOfflineAfterFourFailuresAndComesBack)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    m_sim->SetSilent(1, true);
    ASSERT_TRUE(SawEvent("error 1"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(CountEvent("error 1"), 1) << "offline is reported once";
    EXPECT_FALSE(m_card->Poll()->Online(1));
    m_sim->SetSilent(1, false);
    ASSERT_TRUE(SawEvent("errorex 1 false"));
    EXPECT_EQ(CountEvent("powerup 1"), 2);
}

TEST_F(Line, CardReplyIsAcknowledgedAndDeliveredInOrder)
{
    StartSim({1, 2});
    OpenLine(1, 2);
    ASSERT_TRUE(SawEvent("errorex 2 true"));
    m_sim->Present(1, 'C', "12345");
    m_sim->Present(2, 'M', "0612345");
    m_sim->Present(1, 'C', "777");
    ASSERT_TRUE(SawEvent("data 1 777"));
    ASSERT_TRUE(SawEvent("memory 2 0612345"));
    EXPECT_TRUE(Received(1, "B"));
    EXPECT_TRUE(Received(2, "M"));
    const auto seen = SeenTexts();
    const auto first = std::find(seen.begin(), seen.end(), "data 1 12345");
    const auto second = std::find(seen.begin(), seen.end(), "data 1 777");
    ASSERT_NE(first, seen.end());
    EXPECT_LT(first, second);
}

TEST_F(Line, CounterRepliesSetABaselineFirstAndReportOnlyChanges)
{
    StartSim({1});
    m_sim->SetCounter(1, "00000");
    OpenLine(1, 1);
    ASSERT_TRUE(Received(1, "R"));
    ASSERT_TRUE(WaitFor([&] { return m_sim->Frames().size() > 30; }, 3s));
    EXPECT_EQ(CountEvent("counter 1 00000"), 0) << "the first reply only sets the baseline";
    m_sim->SetCounter(1, "10000");
    ASSERT_TRUE(SawEvent("counter 1 10000"));
    const auto before = m_sim->Frames().size();
    ASSERT_TRUE(WaitFor([&] { return m_sim->Frames().size() > before + 30; }, 3s));
    EXPECT_EQ(CountEvent("counter 1 10000"), 1) << "an equal reply raises nothing";

    // Poll rhythm: R on every 11th visit, I after 20 general visits.
    std::string letters;
    for (const auto& f : m_sim->Frames())
        letters += f.Data.substr(0, 1);
    EXPECT_EQ(letters.substr(0, 11), "CCCCCCCCCCR");
    EXPECT_EQ(letters.substr(11, 11), "CCCCCCCCCCR");
    const auto firstI = letters.find('I');
    ASSERT_NE(firstI, std::string::npos);
    EXPECT_EQ(std::count(letters.begin(), letters.begin() + static_cast<long>(firstI), 'C'), 20);
}

TEST_F(Line, PowerUpResendsTheGateStateAndStampCapableDevicesGetStamps)
{
    StartSim({1});
    m_card->SetActiveMsg(1, "Welcome");
    m_card->SetIdleMsg(1, "Closed");
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    ASSERT_TRUE(m_card->SetGate(1, true));
    ASSERT_TRUE(Received(1, "OWelcome"));
    m_sim->ClearFrames();
    m_sim->Present(1, 'P', "");
    ASSERT_TRUE(Received(1, "OWelcome")) << "the stored state is sent again";
    m_sim->Present(1, 'p', "");
    ASSERT_TRUE(WaitFor([&] { return m_card->StampCapable(1); }, 3s));
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const auto& f : m_sim->Frames())
                if (f.Data.size() == 1 + 12 + 7 && f.Data[0] == 'o' && f.Data.substr(13) == "Welcome")
                    return true;
            return false;
        },
        3s));
    m_card->SetGate(1, false);
    EXPECT_TRUE(WaitFor(
        [&] {
            for (const auto& f : m_sim->Frames())
                if (f.Data[0] == 'x' && f.Data.substr(13) == "Closed")
                    return true;
            return false;
        },
        3s));
}

TEST_F(Line, InputBoardAndButtonRepliesBecomeEvents)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    m_sim->Present(1, 'L', "3120");
    ASSERT_TRUE(SawEvent("on 1 3 1"));
    EXPECT_TRUE(SawEvent("off 1 3 0"));
    EXPECT_TRUE(Received(1, "L3"));
    m_sim->Present(1, 'K', "21");
    ASSERT_TRUE(SawEvent("up 1 2"));
    EXPECT_TRUE(Received(1, "K2"));
    m_sim->Present(1, 'K', "40");
    EXPECT_TRUE(SawEvent("down 1 4"));
    const auto seen = SeenTexts();
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const std::string& s) { return s.rfind("on 1 3 2", 0) == 0 ||
                                                                                         s.rfind("off 1 3 2", 0) == 0; }),
              0) << "state character 0 posts nothing";
}

TEST_F(Line, CommandPayloadsOnTheWire)
{
    StartSim({1, 2});
    OpenLine(1, 2);
    ASSERT_TRUE(SawEvent("errorex 2 true"));
    struct TCase {
        const char* what;
        std::function<bool()> send;
        int address;
        std::string data;
    };
    const TCase cases[] = {
        {"gate open pulse 7", [&] { return m_card->GateOpenMsg(1, true, 7, "Thank you..."); }, 1, "G007Thank you..."},
        {"pulse modulo 1000", [&] { return m_card->GateOpenMsg(2, true, 1234, "Hi"); }, 2, "G234Hi"},
        {"refusal", [&] { return m_card->GateOpenMsg(1, false, 5, "Not On File"); }, 1, "BNot On File"},
        {"long message cut", [&] { return m_card->GateOpenMsg(2, false, 0, std::string(200, 'm')); }, 2,
         "B" + std::string(128, 'm')},
        {"pulse output", [&] { return m_card->PulseOutput(2, 3, 5); }, 2, "PB5"},
        {"lot full", [&] { return m_card->LotFullOutput(1, true, 1); }, 1, "WA"},
        {"lot not full", [&] { return m_card->LotFullOutput(1, false, 0x20); }, 1, "F`"},
        {"clock", [&] { return m_card->SetDateTime(1, "101500240305"); }, 1, "M101500240305"},
        {"sign", [&] { return m_card->SignText(2, "\x14" "1\r\x16" "12\\1\\1"); }, 2, "L\x14" "1\r\x16" "12\\1\\1"},
        {"spitter ack", [&] { return m_card->SpitterAck(1, ""); }, 1, "Y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.send());
        EXPECT_TRUE(Received(c.address, c.data));
    }
    EXPECT_FALSE(m_card->GateOpenMsg(5, true, 1, "x")) << "outside FirstReader..LastReader";
    std::this_thread::sleep_for(100ms);
    for (const auto& f : m_sim->Frames())
        EXPECT_NE(f.Address, 5);
}

TEST_F(Line, FullCommandQueueRefusesAndLogs)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    m_sim->SetSilent(1, true);  // each command now waits for its four attempts
    int queued = 0;
    bool refused = false;
    for (int i = 0; i < 40 && !refused; ++i) {
        if (m_card->GateOpenMsg(1, true, 1, "n" + std::to_string(i)))
            ++queued;
        else
            refused = true;
    }
    EXPECT_TRUE(refused);
    EXPECT_GE(queued, 15);
    m_log->Log("");
    EXPECT_NE(ReadFile(m_home / "line.log").find("TCard - Command queue full, G refused for address 1"),
              std::string::npos);
}

TEST_F(Line, BrokenRepliesCountAsNoReply)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    // Bad check byte, then a reply that never ends, then noise before a good frame.
    m_sim->PresentRaw(1, {0x01, 0x31, 0x43, '9', 0x04, 0x00});
    std::vector<std::uint8_t> endless = {0x01};
    endless.insert(endless.end(), 1500, 'x');
    m_sim->PresentRaw(1, endless);
    ASSERT_TRUE(WaitFor([&] { return m_sim->PendingReplies() == 0; }, 3s));
    std::this_thread::sleep_for(200ms);  // let the line settle after the flood
    std::vector<std::uint8_t> noisy = {'z', 'z', 0x01, '9', '9'};
    const auto good = line::BuildReply("1C4711");
    noisy.insert(noisy.end(), good.begin(), good.end());
    m_sim->PresentRaw(1, noisy);
    ASSERT_TRUE(SawEvent("data 1 4711"));
    EXPECT_EQ(CountEvent("data 1 9"), 0);
    EXPECT_TRUE(m_card->Poll()->Online(1)) << "two failures in a row leave it online";
}

TEST_F(Line, HandlerThatThrowsDoesNotStopDelivery)
{
    std::atomic<int> inHandler{0};
    std::atomic<bool> overlap{false};
    m_card->Events.OnData = [&](int, const std::string& v) {
        if (inHandler.fetch_add(1) != 0)
            overlap = true;
        std::this_thread::sleep_for(5ms);
        inHandler.fetch_sub(1);
        Seen("data " + v);
        if (v == "1")
            throw std::runtime_error("handler failed");
    };
    StartSim({1});
    OpenLine(1, 1);
    m_sim->Present(1, 'C', "1");
    m_sim->Present(1, 'C', "2");
    EXPECT_TRUE(SawEvent("data 2"));
    EXPECT_FALSE(overlap);
    m_log->Log("");
    EXPECT_NE(ReadFile(m_home / "line.log").find("of address 1 failed in its handler (handler failed)"),
              std::string::npos)
        << ReadFile(m_home / "line.log");
}

TEST_F(Line, PollCycleThatFailsIsLoggedOnceItsDevicesGoOfflineAndPollingGoesOn)
{
    std::atomic<int> failures{0};
    m_card->BeforePollCycle = [&] {
        if (failures.load() > 0 && failures.fetch_sub(1) > 0)
            throw std::runtime_error("cycle broke");
    };
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("powerup 1"));
    failures = 3;
    ASSERT_TRUE(SawEvent("error 1")) << "its devices go off line";
    ASSERT_TRUE(WaitFor([&] { return CountEvent("powerup 1") == 2; }, 10s)) << "polled again from first contact";
    m_sim->Present(1, 'C', "77");
    EXPECT_TRUE(SawEvent("data 1 77"));
    m_log->Log("");
    const std::string log = ReadFile(m_home / "line.log");
    const std::string failed = "/ports/COM1 failed (cycle broke); devices off line";
    const auto first = log.find(failed);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(failed, first + 1), std::string::npos) << "logged once while it lasts\n" << log;
}

TEST_F(Line, CloseOnTheMainThreadWhileADeliveryWaitsThere)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    std::atomic<bool> closed{false};
    // Hold the main thread until a card event is queued and its delivery is
    // waiting for the main thread, then close from there.
    m_loop.Post([&] {
        m_sim->Present(1, 'C', "999");
        WaitFor([&] { return Received(1, "B", 0ms); }, 3s);
        std::this_thread::sleep_for(3 * line::TProcessInfo::kPassInterval);
        m_card->Close();
        closed = true;
    });
    ASSERT_TRUE(WaitFor([&] { return closed.load(); }, 5s)) << "Close deadlocked";
    EXPECT_FALSE(m_card->IsOpen());
    EXPECT_EQ(m_card->CardNo(), "");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(CountEvent("data 1 999"), 0) << "a delivery that had not started is dropped";
    EXPECT_FALSE(m_card->GateOpenMsg(1, true, 1, "x"));
}

TEST_F(Line, BurstsStayPacedAtThePassInterval)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    for (const char* card : {"1", "2", "3"})
        m_sim->Present(1, 'C', card);
    ASSERT_TRUE(SawEvent("data 1 3"));
    std::vector<std::chrono::steady_clock::time_point> delivered;
    {
        std::scoped_lock lock(m_seenLock);
        for (const auto& s : m_seen)
            if (s.What.rfind("data 1 ", 0) == 0)
                delivered.push_back(s.At);
    }
    ASSERT_EQ(delivered.size(), 3u);
    for (std::size_t i = 1; i < delivered.size(); ++i)
        EXPECT_GE(delivered[i] - delivered[i - 1], line::TProcessInfo::kPassInterval);
}

TEST_F(Line, OtherThreadsReadTheLineWhileItRuns)
{
    StartSim({1, 2});
    OpenLine(1, 2);
    std::atomic<bool> stop{false};
    // Status and gate readers on another thread, a trace switched on late and
    // devices that power up (the gate re-send) and fall silent meanwhile.
    std::thread reader([&] {
        while (!stop) {
            (void)m_card->Poll()->Online(1);
            (void)m_card->GateState(2);
        }
    });
    std::FILE* trace = std::fopen("/dev/null", "w");
    m_sim->SetTrace(trace);
    for (int i = 0; i < 20; ++i) {
        m_sim->Present(2, 'P', "");
        m_loop.Invoke([&] { m_card->SetGate(2, i % 2 == 0); });
    }
    m_sim->SetSilent(1, true);
    EXPECT_TRUE(SawEvent("error 1"));
    EXPECT_TRUE(WaitFor([&] { return CountEvent("powerup 2") == 20 + 1; }, 5s))
        << "the first contact and the twenty power-ups";
    m_sim->SetTrace(nullptr);
    std::fclose(trace);
    stop = true;
    reader.join();
}

TEST_F(Line, HandlersChangedAfterOpenDoNotReachTheRunningLine)
{
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    for (int i = 0; i < 20; ++i) {
        m_sim->Present(1, 'C', std::to_string(i));
        m_loop.Invoke([&] { m_card->Events.OnData = [](int, const std::string&) {}; });
    }
    ASSERT_TRUE(SawEvent("data 1 19", 5s)) << "the table frozen at open delivers every card";
}

TEST_F(Line, PortThatGoesAwayIsReopenedWhenItComesBack)
{
    m_card->ReopenDelayMs = 200;
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    // Unplugged: the far end of the line goes away.
    m_sim.reset();
    m_pty.reset();
    ASSERT_TRUE(SawEvent("error 1")) << "the device goes off line at once";
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return std::chrono::steady_clock::now() - start >= 1s; }, 2s));
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    EXPECT_LT(cpuUs(after) - cpuUs(before), 200000) << "no busy loop while the port is away";
    // Plugged in again: the same path comes back.
    m_pty = std::make_unique<testing_support::TPseudoTerminal>(m_home / "ports/COM1");
    StartSim({1});
    ASSERT_TRUE(WaitFor([&] { return CountEvent("powerup 1") == 2; }, 5s)) << "polled again from first contact";
    m_log->Log("");
    const std::string log = ReadFile(m_home / "line.log");
    const std::string lost = "TCard - Port " + m_home.Path() + "/ports/COM1 lost (";
    const auto first = log.find(lost);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(lost, first + 1), std::string::npos) << "logged once\n" << log;
    EXPECT_NE(log.find("TCard - Port " + m_home.Path() + "/ports/COM1 reopened"), std::string::npos) << log;
}

TEST(LineFlood, EventsFasterThanTheDispatcherHoldUpNoOtherLine)
{
    TTempDir home;
    ::setenv("VELIXCARD_HOME", home.Path().c_str(), 1);
    platform::TMainLoop loop;
    std::thread mainThread([&] { loop.Run(); });
    std::mutex lock;
    std::vector<std::string> seen;
    struct TSide {
        std::unique_ptr<testing_support::TPseudoTerminal> Pty;
        std::unique_ptr<tools::TDeviceSimulator> Sim;
        std::unique_ptr<line::TCard> Card;
    };
    TSide sides[2];
    for (int i = 0; i < 2; ++i) {
        auto& side = sides[i];
        side.Pty = std::make_unique<testing_support::TPseudoTerminal>(home / ("ports/COM" + std::to_string(i + 1)));
        side.Sim = std::make_unique<tools::TDeviceSimulator>(side.Pty->Master(), 115200, std::set<int>{1});
        side.Card = std::make_unique<line::TCard>(loop);
        side.Card->Port = i + 1;
        side.Card->SetLastReader(1);
        side.Card->OffLineDelay = 150;
        side.Card->Events.OnData = [&, i](int, const std::string& v) {
            std::scoped_lock l(lock);
            seen.push_back(std::to_string(i) + " " + v);
        };
        ASSERT_TRUE(side.Card->Open());
    }
    // Line 0: a card reply to every poll, far more than 30 events a second.
    for (int n = 0; n < 400; ++n)
        sides[0].Sim->Present(1, 'C', std::to_string(n));
    ASSERT_TRUE(WaitFor([&] { return sides[0].Sim->PendingReplies() < 300; }, 5s));
    sides[1].Sim->Present(1, 'C', "other");
    const auto presented = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor(
        [&] {
            std::scoped_lock l(lock);
            return std::find(seen.begin(), seen.end(), "1 other") != seen.end();
        },
        5s));
    EXPECT_LT(std::chrono::steady_clock::now() - presented, 2s) << "the other line is served in its own time";
    EXPECT_GT(sides[0].Sim->PendingReplies(), 0u) << "while the flood is still coming";
    // The flooded line still polls and acknowledges; what it drops is what did
    // not fit its queue of events.
    ASSERT_TRUE(WaitFor([&] { return sides[0].Sim->PendingReplies() == 0; }, 20s));
    {
        std::scoped_lock l(lock);
        const auto delivered = std::count_if(seen.begin(), seen.end(), [](const std::string& x) { return x[0] == '0'; });
        EXPECT_GT(delivered, 0);
        EXPECT_LE(delivered, 400);
    }
    for (auto& side : sides)
        loop.Invoke([&] { side.Card.reset(); });
    loop.Quit();
    mainThread.join();
}

TEST_F(Line, SecondProgramCannotShareTheLine)
{
    StartSim({1});
    OpenLine(1, 1);
    line::TCard other(m_loop);
    other.SetLastReader(1);
    EXPECT_FALSE(other.Open());
    EXPECT_NE(other.LastOpenError().find("COM1"), std::string::npos) << other.LastOpenError();
}

TEST_F(Line, FloodedLineKeepsEveryCard)
{
    std::atomic<int> inputs{0};
    m_card->Events.OnInput = [&](int, const std::string&) { ++inputs; };
    StartSim({1, 2, 3, 4});
    for (int a = 2; a <= 4; ++a)
        m_sim->SetInput(a, "A");
    OpenLine(1, 4);
    ASSERT_TRUE(WaitFor([&] { return inputs.load() > 0; }, 5s));
    // The main thread is held: input readings pile up until the queue is full.
    std::promise<void> release;
    std::atomic<bool> held{false};
    m_loop.Post([&, done = release.get_future().share()] {
        held = true;
        done.wait();
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }, 3s));
    const auto inputPolls = [&] {
        std::size_t n = 0;
        for (const auto& f : m_sim->Frames())
            n += f.Address >= 2 && f.Data == "I";
        return n;
    };
    const std::size_t before = inputPolls();
    ASSERT_TRUE(WaitFor([&] { return inputPolls() > before + 70; }, 30s)) << "more readings than the queue holds";
    for (int n = 1; n <= 5; ++n)
        m_sim->Present(1, 'C', "90" + std::to_string(n));
    ASSERT_TRUE(WaitFor([&] { return m_sim->PendingReplies() == 0; }, 5s)) << "every card was read off the reader";
    release.set_value();
    for (int n = 1; n <= 5; ++n)
        EXPECT_TRUE(SawEvent("data 1 90" + std::to_string(n), 5s)) << n;
    const auto seen = SeenTexts();
    std::vector<std::string> cards;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(cards), [](const std::string& t) { return t.rfind("data", 0) == 0; });
    EXPECT_EQ(cards, (std::vector<std::string>{"data 1 901", "data 1 902", "data 1 903", "data 1 904", "data 1 905"}));
}

TEST(SerialPort, LineWhoseFarEndStaysOpenCanBeReopenedByAServiceThatIsNotRoot)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    TTempDir home;
    testing_support::TPseudoTerminal pty(home / "COM1");
    const std::string device = std::filesystem::read_symlink(home / "COM1");
    ASSERT_EQ(::chmod(device.c_str(), 0666), 0);
    // Exit code of a child that opens, closes and opens the line again as nobody.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            platform::TSerialPort port;
            if (port.Open(device, 9600))
                ::_exit(attempt);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the first open failed, 2: the reopen failed, 10: no user change";
}

TEST_F(Line, PayOnFootFramesStartWithEnq)
{
    StartSim({1});
    m_card->PayOnFoot = true;
    OpenLine(1, 1);
    ASSERT_TRUE(SawEvent("errorex 1 true"));
    for (const auto& f : m_sim->Frames())
        EXPECT_TRUE(f.PayOnFoot);
}

TEST_F(Line, OpenWithoutCounterHandlerSwitchesCounterPollsOff)
{
    m_card->Events.OnCounter = nullptr;
    m_card->Events.OnInput = nullptr;
    StartSim({1});
    OpenLine(1, 1);
    ASSERT_TRUE(WaitFor([&] { return m_sim->Frames().size() > 40; }, 3s));
    EXPECT_TRUE(m_card->NoCounters);
    EXPECT_TRUE(m_card->NoInputs);
    for (const auto& f : m_sim->Frames())
        EXPECT_EQ(f.Data, "C");
}

TEST_F(Line, SimulatorProgramDrivesTheLineFromAScript)
{
    // The real tool on its own pseudo-terminal, linked as COM2.
    testing_support::WriteFile(m_home / "sim.txt", "sleep 300\ncard 3 4242\nmemory 3 0915301224\n");
    testing_support::TChild sim({VELIXCARD_DEVSIM, "--link", m_home / "ports/COM2", "--addr", "3", "--baud",
                                 "115200", "--script", m_home / "sim.txt"},
                                {});
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(m_home / "ports/COM2"); }, 3s)) << sim.Output();
    m_card->Port = 2;
    OpenLine(3, 3);
    ASSERT_TRUE(SawEvent("data 3 4242")) << sim.Output();
    ASSERT_TRUE(SawEvent("memory 3 0915301224"));
    ASSERT_TRUE(WaitFor([&] { return sim.Output().find("<-  3 B") != std::string::npos; }, 3s)) << sim.Output();
    EXPECT_NE(sim.Output().find("far end: /dev/pts/"), std::string::npos);
    m_card->Close();
}
