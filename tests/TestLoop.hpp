#pragma once

#include "line/Card.hpp"
#include "loop/Loop.hpp"
#include "platform/MainLoop.hpp"
#include "tools/devsim/DeviceSim.hpp"

#include "TestDb.hpp"
#include "TestLine.hpp"

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A loop controller in this process (loop id kLoopId on port 1) on a fresh
// site database of the test's family, its line on a pseudo-terminal with
// simulated devices at the far end. The loop logs into LogFile().
class TLoopTest : public TSiteTest {
protected:
    static constexpr int kLoopId = 3;

    // Rows inserted before the loop starts (the loop row is made already).
    virtual std::vector<std::string> SiteRows() const = 0;
    // Lines of the settings file's [Settings] section, CR LF ended.
    virtual std::string Settings() const { return ""; }
    virtual std::set<int> Addresses() const { return {1, 2, 3}; }

    void SetUp() override;
    void TearDown() override;

    // Runs fn on the loop's worker, where its events run, and waits for it.
    void OnLoop(const std::function<void()>& fn) { m_loop->Invoke(fn); }
    // The loop set up afresh, with these options (settings, offline links).
    void Rebuild(loop::TLoopOptions options);
    // The loop's handlers; on its worker.
    loop::TLoopEvents& Events() { return m_loop->Events(); }
    // The log's lines, the worker's pending ones written out first (a handler
    // called directly leaves its lines pending, as a decision does until it
    // has answered).
    std::vector<std::string> LogLines();
    // Whether the address received the command (letter and payload) in time.
    bool Received(int address, const std::string& data);
    // The commands with this letter that the address received so far.
    std::vector<std::string> Commands(int address, char letter);
    // The registry file the loop reads (also for a velixcard process).
    std::string RegistryFile() const { return m_dir / "r.reg"; }

    std::unique_ptr<TPseudoTerminal> m_pty;
    std::unique_ptr<tools::TDeviceSimulator> m_sim;
    platform::TMainLoop m_main;
    std::thread m_thread;
    std::unique_ptr<loop::TLoop> m_loop;
};

// The registry file text that points the service at the test database.
std::string RegistryText(const TTestDatabase& db, const std::string& computerName = "");

} // namespace testing_support
