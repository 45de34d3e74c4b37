#include "counting/Counter.hpp"
#include "db/Target.hpp"

#include "config/MessLog.hpp"
#include "counting/EventLog.hpp"
#include "counting/Input.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;
using namespace std::chrono_literals;

namespace {

// A site with lots 1 and 2, device 10 (loop 1, address 3, lot 1) with lot-full
// output and sign, and device 11 of lot 2.
class Counting : public testing_support::TSiteTest {
protected:
    db::TTarget Site() { return {m_odbc}; }
    void SetUp() override
    {
        TSiteTest::SetUp();
        if (HasFatalFailure())
            return;
        for (const char* sql : {
                 "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 3, 100)",
                 "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (2, 'South', 10, 50)",
                 "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, lf_enabled, lf_sign, count1, count_soft) "
                 "VALUES (10, 1, 1, 3, 'Entry 3', 1, 1, 100, 10)",
                 "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, lf_enabled, lf_sign) "
                 "VALUES (11, 1, 2, 4, 'Exit 4', 1, 0)",
                 "INSERT INTO counters (id, lot_id) VALUES (1, 1)",
                 "INSERT INTO counters (id, lot_id) VALUES (2, 2)",
             })
            ASSERT_TRUE(Exec(sql)) << sql;
    }

    int Int(const std::string& sql, const std::string& column)
    {
        db::TODBCStatement s(m_odbc);
        return s.Exec(sql) ? s.AsInteger(column) : -999;
    }
    int LotCount(int lot) { return Int("SELECT lot_count FROM lot WHERE id = " + std::to_string(lot), "lot_count"); }
    int Flag(int device, const char* column)
    {
        return Int("SELECT " + std::string(column) + " FROM device WHERE id = " + std::to_string(device), column);
    }

};

} // namespace

TEST_P(Counting, HardwareCountsRollOverAndFollowTheCounterItems)
{
    // Input 2 (counter position 1) adds to lot 1 and subtracts from lot 2.
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 2, 1, 1)"));
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 2, 2, 2)"));
    counting::TCounter counter(*m_log, m_odbc, 1, 3, false);
    EXPECT_EQ(counter.DeviceId(), 10);

    EXPECT_EQ(counter.Process(Site(), std::string("\x3E") + "0000"), "Entry 3");  // baseline: position 1 at 14
    EXPECT_EQ(LotCount(1), 3) << "the first reading changes nothing";
    EXPECT_EQ(Flag(10, "count1"), 100);

    counter.Process(Site(), std::string("\x32") + "0000");  // 14 -> 2 rolls over: 4
    EXPECT_EQ(Flag(10, "count1"), 104);
    EXPECT_EQ(LotCount(1), 7);
    EXPECT_EQ(LotCount(2), 6);
    EXPECT_EQ(Flag(10, "lf_output_flag"), 1) << "the reporting device's own lot is flagged";
    EXPECT_EQ(Flag(10, "lf_sign_flag"), 1);
    EXPECT_EQ(Flag(11, "lf_output_flag"), 0);

    counter.Process(Site(), std::string("\x3C") + "0000");  // 2 -> 12: 10, lot 2 floors at 0
    EXPECT_EQ(LotCount(2), 0);
    EXPECT_EQ(LotCount(1), 17);
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Counter sql: UPDATE lot SET lot_count=0 WHERE id=2"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Counter sql: UPDATE lot SET lot_count=lot_count+4 WHERE id=1"),
              lines.end());
}

TEST_P(Counting, ShortPayloadIsLoggedAndTheBaselineWaits)
{
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 3, 1, 0)"));
    counting::TCounter counter(*m_log, m_odbc, 1, 3, false);
    EXPECT_EQ(counter.Process(Site(), "0000"), "Invalid");
    EXPECT_TRUE(counter.FirstReading());
    counter.Process(Site(), "00000");
    counter.Process(Site(), "01000");  // position 2 -> input 3, a rule that changes nothing
    EXPECT_EQ(LotCount(1), 3);
    EXPECT_EQ(Flag(10, "count2"), 1);
    EXPECT_EQ(Flag(10, "lf_output_flag"), 0) << "no change, no flags";
    const auto lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "TCounter.Process ERROR!  CounterData Length Invalid! - 0000");
    EXPECT_EQ(lines[1], "Counter sql: ");
}

TEST_P(Counting, SoftAndRemoteCountsUseInputSeven)
{
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 7, 1, 1)"));
    counting::TCounter local(*m_log, m_odbc, 1, 3, false);
    local.SoftCount(Site());
    EXPECT_EQ(LotCount(1), 4);
    EXPECT_EQ(Flag(10, "count_soft"), 11);

    counting::TCounter remote(*m_log, m_odbc, 1, 3, true);
    db::TODBCStatement pass(m_odbc);
    ASSERT_TRUE(Exec("UPDATE device SET count_soft = 14 WHERE id = 10"));
    remote.CheckSoftCount(pass);
    EXPECT_EQ(LotCount(1), 7) << "11 -> 14 counts 3";
    ASSERT_TRUE(Exec("UPDATE device SET count_soft = 0 WHERE id = 10"));
    remote.CheckSoftCount(pass);
    EXPECT_EQ(LotCount(1), 7) << "a fall counts nothing";
    ASSERT_TRUE(Exec("UPDATE device SET count_soft = 2 WHERE id = 10"));
    remote.CheckSoftCount(pass);
    EXPECT_EQ(LotCount(1), 9) << "measured from 0";
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Soft Count Device Id: 10 was 11 is 14 diff 3"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Timer Lot Change Value: 3"), lines.end());
}

TEST_P(Counting, CountsTakenOfflineAddToWhatTheSiteHoldsWhenReplayed)
{
    // Input 2 adds to lot 1 and subtracts from lot 2, as above.
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 2, 1, 1)"));
    ASSERT_TRUE(Exec("INSERT INTO counter_item (device_id, input, cntr_id, chg_lot) VALUES (10, 2, 2, 2)"));
    db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, m_dir / "copy.db", "loop_id IN (1)", *m_log);
    ASSERT_TRUE(copy.Refresh(m_odbc));
    db::TODBC local;
    ASSERT_TRUE(db::ConnectLocalFile(local, copy.Path(), db::TLocalFile::Copy));
    std::vector<std::string> journalled;
    local.OnExec = [&](const std::string& sql) {
        if (db::IsWriteStatement(sql))
            journalled.push_back(sql);
    };

    counting::TCounter counter(*m_log, m_odbc, 1, 3, false);
    counter.Process(Site(), std::string("\x30") + "0000");  // baseline, online
    EXPECT_EQ(counter.Process(db::TTarget{local, true}, std::string("\x34") + "0000"), "Entry 3");  // 4 cars, offline
    ASSERT_FALSE(journalled.empty());

    // Meanwhile the site moved on: the device counts reset, cars counted
    // into lot 1 and out of lot 2 by another computer.
    ASSERT_TRUE(Exec("UPDATE device SET count1 = 0 WHERE id = 10"));
    ASSERT_TRUE(Exec("UPDATE lot SET lot_count = 50 WHERE id = 1"));
    ASSERT_TRUE(Exec("UPDATE lot SET lot_count = 2 WHERE id = 2"));
    for (const auto& sql : journalled)
        ASSERT_TRUE(Exec(sql)) << sql;
    EXPECT_EQ(Flag(10, "count1"), 4);
    EXPECT_EQ(LotCount(1), 54);
    EXPECT_EQ(LotCount(2), 0) << "floored where the replay lands";

    // Online again: the counter's own database, with the statements as before.
    counter.Process(Site(), std::string("\x35") + "0000");
    EXPECT_EQ(Flag(10, "count1"), 5);
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Counter sql: UPDATE lot SET lot_count=lot_count+1 WHERE id=1"),
              lines.end());
}

TEST_P(Counting, DoorAjarAlarmsAfterTheAjarTimeUntilAcknowledged)
{
    ASSERT_TRUE(Exec("UPDATE device SET door_input = 3, ajar_timer = 30, ajar_output = 2 WHERE id = 10"));
    counting::TEventLog events(m_odbc, 1);
    counting::TInput input(1, m_odbc, events, *m_log, nullptr, 3);
    const auto t0 = std::chrono::steady_clock::time_point(1000h);
    const auto second = 1s;
    const std::string open(1, '\x04'), closed(1, '\x03');

    input.Process(open, t0);
    input.Process(open, t0 + 29 * second);
    EXPECT_EQ(Flag(10, "door_ajar"), 0) << "29 s is within the ajar time";
    input.Process(open, t0 + 30 * second);
    EXPECT_EQ(Flag(10, "door_ajar"), 1);
    EXPECT_TRUE(input.Alarm());
    ASSERT_TRUE(Exec("UPDATE device SET alarm_ack = 1 WHERE id = 10"));
    input.Process(open, t0 + 31 * second);
    EXPECT_EQ(Flag(10, "alarm_ack"), 0) << "the acknowledgement is consumed";
    input.Process(open, t0 + 40 * second);
    EXPECT_EQ(Flag(10, "door_ajar"), 1);
    input.Process(closed, t0 + 41 * second);
    EXPECT_EQ(Flag(10, "door_ajar"), 0);
    EXPECT_FALSE(input.Alarm());
    input.Process("", t0 + 42 * second);  // an empty payload changes nothing
    EXPECT_EQ(Flag(10, "door_ajar"), 0);
}

TEST_P(Counting, FireInputHoldsEveryFireDeviceOpenOnceAndReleasesIt)
{
    ASSERT_TRUE(Exec("UPDATE device SET fire_input = 1 WHERE id = 10"));
    ASSERT_TRUE(Exec("UPDATE device SET fire_flag = 1 WHERE id = 11"));
    ASSERT_TRUE(Exec("INSERT INTO device (id, loop_id, addr_ess, fire_flag) VALUES (20, 9, 1, 1)"));
    counting::TEventLog events(m_odbc, 1);
    counting::TInput input(1, m_odbc, events, *m_log, nullptr, 3);
    input.Process(std::string(1, '\x01'));
    EXPECT_EQ(Flag(11, "perm_open"), 1);
    EXPECT_EQ(Flag(20, "perm_open"), 1) << "every loop's fire devices";
    EXPECT_EQ(Flag(10, "perm_open"), 0);
    ASSERT_TRUE(Exec("UPDATE device SET perm_open = 0 WHERE id = 20"));
    input.Process(std::string(1, '\x01'));
    EXPECT_EQ(Flag(20, "perm_open"), 0) << "still active: no second update";
    input.Process(std::string(1, '\0'));
    input.Process(std::string(1, '\x02'));
    EXPECT_EQ(Flag(11, "perm_open"), 0);
    db::TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT * FROM device WHERE id = 11"));
    EXPECT_EQ(s.AsString("remote_user"), "FIRE INPUT!");
    EXPECT_EQ(s.AsString("remote_ip"), "OFF");
}

INSTANTIATE_TEST_SUITE_P(Databases, Counting, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
