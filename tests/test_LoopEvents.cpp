// A loop controller in this process with simulated devices on a
// pseudo-terminal: the periodic operations and the device-state handlers.
#include "loop/Loop.hpp"

#include "TestLoop.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

class LoopEvents : public testing_support::TLoopTest {
protected:
    std::vector<std::string> SiteRows() const override
    {
        return {
            "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 105, 100)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, lf_enabled, lf_output, "
            "lf_sign) VALUES (1, 3, 1, 1, 'Spitter', 1, 1, 2, 1)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type) VALUES (2, 3, 1, 2, 'Exit', 2)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type) VALUES (3, 3, 9, 3, 'Reader', 0)",
        };
    }
    std::string Settings() const override { return "Sync Readers every XX minutes=2\r\nSync Exit Reader=0\r\n"; }

    int Sent(char letter)
    {
        int n = 0;
        for (const auto& f : m_sim->Frames())
            n += !f.Data.empty() && f.Data[0] == letter;
        return n;
    }
};

} // namespace

TEST_P(LoopEvents, ClocksAreSetOnEverySecondMinuteForSpittersOnly)
{
    EXPECT_EQ(m_loop->Config().Settings.SyncMinutes, 2);
    EXPECT_FALSE(m_loop->Config().Settings.SyncExitReader);
    OnLoop([this] {
        Events().SyncTimeDate();
        m_loop->Line()->SignText(1, "marker");
    });
    // Commands go out in order: none came before the marker.
    ASSERT_TRUE(Received(1, "Lmarker"));
    EXPECT_EQ(Sent('M'), 0) << "the first minute only counts";
    OnLoop([this] { Events().SyncTimeDate(); });
    ASSERT_TRUE(WaitFor([&] { return Sent('M') == 1; }, 3s));
    for (const auto& f : m_sim->Frames())
        if (f.Data[0] == 'M') {
            EXPECT_EQ(f.Address, 1) << "exit readers are skipped with Sync Exit Reader off";
            EXPECT_EQ(f.Data.size(), 13u);
        }
    const auto m = LogLines();
    const auto at = std::find(m.begin(), m.end(), "Automated Sync Of Time/Date to Spitters & Exit Readers");
    ASSERT_NE(at, m.end());
    EXPECT_EQ(*(at + 1), "  Done T/D Sync");
}

TEST_P(LoopEvents, ForcedGateIsSentOnceAndOverfullLotShowsZero)
{
    bool first = false, second = false, closed = false;
    OnLoop([&] {
        first = m_loop->ForceGate(3, true);
        second = m_loop->ForceGate(3, true);
        closed = m_loop->ForceGate(3, false);
    });
    EXPECT_TRUE(first);
    EXPECT_FALSE(second) << "already open: nothing sent";
    EXPECT_TRUE(closed);
    EXPECT_TRUE(Received(3, "ODevice activated"));
    EXPECT_TRUE(Received(3, "XDefault message"));

    // The lot-full flags were raised at set-up; 105 of 100 is full and shows 0 free.
    OnLoop([this] { Events().UpdateOutputs(); });
    EXPECT_TRUE(Received(1, "WA"));
    EXPECT_TRUE(Received(1, "L\x14" "1\r\x16" "0\\1\\1"));
    db::TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT lf_output_flag, lf_sign_flag FROM device WHERE id = 1"));
    EXPECT_EQ(s.AsInteger("lf_output_flag"), 0);
    EXPECT_EQ(s.AsInteger("lf_sign_flag"), 0);

    // A flagged device whose lot is not there has its flags cleared, nothing sent.
    ASSERT_TRUE(s.Exec("UPDATE device SET lf_output_flag = 1, lf_sign_flag = 1 WHERE id = 3"));
    OnLoop([this] { Events().UpdateOutputs(); });
    ASSERT_TRUE(s.Exec("SELECT lf_output_flag + lf_sign_flag AS flags FROM device WHERE id = 3"));
    EXPECT_EQ(s.AsInteger("flags"), 0);
    EXPECT_TRUE(Commands(3, 'W').empty() && Commands(3, 'F').empty());
}

TEST_P(LoopEvents, CounterEventsOutsideTheTableDoNothing)
{
    OnLoop([this] {
        Events().CounterEvent(0, "10000");
        Events().CounterEvent(9, "10000");
        Events().CounterEvent(1, "A1");
    });
    const auto m = LogLines();
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(std::count_if(m.begin(), m.end(), [](const std::string& l) { return l.rfind("Counter event", 0) == 0; }),
              1);
    EXPECT_NE(std::find(m.begin(), m.end(), "Counter event Invalid input value: A1 = 1,1"), m.end());
}

TEST_P(LoopEvents, EverySettingALoopWritesIsOneCheckKnows)
{
    const auto ini = testing_support::SplitLines(testing_support::ReadFile(m_dir / "velix_tests.ini"));
    int keys = 0;
    for (const auto& line : ini) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        ++keys;
        const std::string key = line.substr(0, eq);
        EXPECT_TRUE(std::any_of(loop::kLoopSettingKeys.begin(), loop::kLoopSettingKeys.end(),
                                [&](const loop::TSettingKey& k) { return key == k.Key; }))
            << key;
    }
    EXPECT_EQ(keys, static_cast<int>(loop::kLoopSettingKeys.size()) - 1) << "all but the POE/POF key";
}

INSTANTIATE_TEST_SUITE_P(Databases, LoopEvents, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
