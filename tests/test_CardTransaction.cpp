#include "access/CardCheck.hpp"
#include "access/RowReaders.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

#include <thread>

using testing_support::At;
using cardaccess::CardTransaction;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;

namespace {

// Wednesday 2024-05-29 10:00.
const platform::TDateTime kNow = At(2024, 5, 29, 10, 0);

struct TCheck {
    std::string Sql;  // one value in the first column
    std::string Expected;
};

struct TScenario {
    const char* What;
    std::vector<std::string> Setup;
    double Card;
    int Address;
    platform::TDateTime T;
    int Result;
    std::vector<TCheck> Checks;
};

class Cards : public testing_support::TSiteTest {
protected:
    void SetUp() override
    {
        TSiteTest::SetUp();
        if (HasFatalFailure())
            return;
        // Devices: 10 entry (address 1), 11 exit (2), 12 without direction (3).
        // Card type 1 never expires; its level 1 admits devices 10-12 all day, every day.
        for (const char* sql : {
                 "INSERT INTO settings (reset_dadid) VALUES (0)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (10, 1, 1, 'Entry', 1, 3.7)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection) VALUES (11, 1, 2, 'Exit', 2)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection) VALUES (12, 1, 3, 'Door', 3)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg) VALUES (1, 1, 1)",
                 "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
                 "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
                 "INSERT INTO a_l_range_device VALUES (1, 10)",
                 "INSERT INTO a_l_range_device VALUES (1, 11)",
                 "INSERT INTO a_l_range_device VALUES (1, 12)",
                 "INSERT INTO card (number, type_id, first_name, last_name, in_lot, in_gate) "
                 "VALUES (1001, 1, 'Ann', 'O''Neil', 0, -1)",
             })
            ASSERT_TRUE(m_db->Run(m_odbc, sql)) << sql;
    }

    void Run(const std::vector<TScenario>& scenarios)
    {
        for (const auto& c : scenarios) {
            SCOPED_TRACE(c.What);
            for (const auto& sql : c.Setup)
                ASSERT_TRUE(m_db->Run(m_odbc, sql)) << sql;
            cardaccess::TCardOutputs out;
            const int before = std::stoi(Value("SELECT COUNT(*) AS n FROM trans"));
            EXPECT_EQ(CardTransaction(true, *m_log, m_odbc, false, "0000", false, c.Card, c.Address, 1, out, c.T),
                      c.Result);
            EXPECT_EQ(std::stoi(Value("SELECT COUNT(*) AS n FROM trans")), before + 1) << "one trans row per call";
            EXPECT_EQ(Value("SELECT error_code FROM trans ORDER BY id DESC"), std::to_string(c.Result));
            EXPECT_EQ(Value("SELECT error_desc FROM trans ORDER BY id DESC"), cardaccess::AccessResultText(c.Result));
            for (const auto& check : c.Checks)
                EXPECT_EQ(Value(check.Sql), check.Expected) << check.Sql;
        }
    }

};

const std::string kInLot = "SELECT in_lot FROM card WHERE number = 1001";
const std::string kPool = "SELECT cur_inlot FROM card_pool WHERE id = 5";

} // namespace

TEST_P(Cards, LookupsTimeRangesAndTheTransRow)
{
    Run({
        {"not on file", {}, 999, 1, kNow, 1, {{"SELECT first_name FROM trans ORDER BY id DESC", ""}}},
        {"accepted at an entry",
         {},
         1001,
         1,
         kNow,
         0,
         {{kInLot, "1"},
          {"SELECT last_name FROM trans ORDER BY id DESC", "O'Neil"},
          {"SELECT device_name FROM trans ORDER BY id DESC", "Entry"},
          {"SELECT device_id FROM trans ORDER BY id DESC", "10"}}},
        {"no direction leaves in_lot alone", {"UPDATE card SET in_lot = 2"}, 1001, 3, kNow, 0, {{kInLot, "2"}}},
        {"type missing", {"UPDATE card SET type_id = 77"}, 1001, 1, kNow, 2, {}},
        {"range 08:00-17:00 at 17:00:00",
         {"UPDATE card SET type_id = 1, in_lot = 0", "UPDATE a_l_range SET start_time = '08:00:00', end_time = '17:00:00'"},
         1001,
         1,
         At(2024, 5, 29, 17, 0, 0),
         0,
         {}},
        {"range 08:00-17:00 at 17:00:01", {"UPDATE card SET in_lot = 0"}, 1001, 1, At(2024, 5, 29, 17, 0, 1), 2, {}},
        {"across midnight at 23:30",
         {"UPDATE a_l_range SET start_time = '22:00:00', end_time = '06:00:00'"},
         1001,
         2,
         At(2024, 5, 29, 23, 30),
         0,
         {}},
        {"across midnight at 12:00", {}, 1001, 2, At(2024, 5, 29, 12, 0), 2, {}},
        {"weekday flag off", {"UPDATE a_l_range SET start_time = '00:00:00', end_time = '00:00:00', day_4 = 0"}, 1001, 2,
         kNow, 2, {}},
        {"holiday table 2 uses day_9 only",
         {"UPDATE a_l_range SET day_4 = 1, day_9 = 0", "INSERT INTO holiday (holi_day, tab_num) VALUES ({d '2024-05-29'}, 2)"},
         1001,
         2,
         kNow,
         2,
         {}},
        {"other holiday uses day_8", {"UPDATE holiday SET tab_num = 1", "UPDATE a_l_range SET day_8 = 1", "UPDATE card SET in_lot = 0"}, 1001, 2, kNow, 0,
         {}},
        {"device not assigned", {"DELETE FROM a_l_range_device WHERE device_id = 11"}, 1001, 2, kNow, 2, {}},
    });
}

TEST_P(Cards, ValidityDatesAndFirstUse)
{
    Run({
        {"expired",
         {"UPDATE card_type SET no_expiry_flg = 0",
          "UPDATE card SET start_dt = {ts '2024-01-01 00:00:00'}, exp_iry = {ts '2024-05-01 00:00:00'}"},
         1001,
         1,
         kNow,
         3,
         {{kInLot, "0"}}},
        {"current period",
         {"UPDATE card SET exp_iry = {ts '2024-05-29 10:00:00'}"},
         1001,
         1,
         kNow,
         0,
         {}},
        {"renewed period starts tomorrow: the previous one applies",
         {"UPDATE card SET in_lot = 0, start_dt = {ts '2024-05-30 00:00:00'}, exp_iry = {ts '2024-06-30 00:00:00'}, "
          "prev_strt = {ts '2024-04-30 00:00:00'}, prev_exp = {ts '2024-05-29 23:59:59'}"},
         1001,
         1,
         kNow,
         0,
         {}},
        {"first use stores the period",
         {"UPDATE card_type SET first_use_flg = 1, days = 30", "UPDATE card SET in_lot = 0, date_set = 0"},
         1001,
         1,
         At(2024, 5, 1, 8, 0),
         0,
         {{"SELECT date_set FROM card WHERE number = 1001", "1"},
          {"SELECT start_dt FROM card WHERE number = 1001", "2024-05-01 08:00:00"},
          {"SELECT exp_iry FROM card WHERE number = 1001", "2024-05-31 08:00:00"}}},
        {"global expiry activates the card type",
         {"UPDATE card_type SET global_expiry = 1, date_set = 0", "UPDATE card SET in_lot = 0"},
         1001,
         1,
         At(2024, 5, 2, 9, 0),
         0,
         {{"SELECT exp_iry FROM card_type WHERE id = 1", "2024-06-01 09:00:00"}}},
    });
}

TEST_P(Cards, PassbackGroupsAndPathways)
{
    Run({
        {"second entry without reset time", {"UPDATE card SET in_lot = 1, trans_dt = {ts '2024-05-28 10:00:00'}"}, 1001, 1,
         kNow, 4, {}},
        {"soft passback lets it through", {"UPDATE settings SET soft_pb = 1"}, 1001, 1, kNow, 12, {{kInLot, "1"}}},
        {"reset time 30, 29:59 after", {"UPDATE settings SET soft_pb = 0, stup_pbrst = 30",
                                         "UPDATE card SET trans_dt = {ts '2024-05-29 09:30:01'}"},
         1001, 1, kNow, 4, {}},
        {"reset time 30, 30 after", {"UPDATE card SET trans_dt = {ts '2024-05-29 09:30:00'}"}, 1001, 1, kNow, 0,
         {{"SELECT trans_dt FROM card WHERE number = 1001", "2024-05-29 10:00:00"}}},
        {"ignore passback", {"UPDATE card_type SET ignore_passback = 1"}, 1001, 1, kNow, 0, {}},
        {"group full refuses an entry",
         {"INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (5, 10, 10)", "UPDATE card SET group_id = 5"},
         1001, 1, kNow, 5, {{kPool, "10"}}},
        {"group full admits an exit", {}, 1001, 2, kNow, 0, {{kPool, "9"}}},
        {"soft group leaves the count", {"UPDATE card_pool SET cur_inlot = 10", "UPDATE settings SET soft_group = 1"},
         1001, 1, kNow, 13, {{kPool, "10"}}},
        {"exit at zero stays zero", {"UPDATE card_pool SET cur_inlot = 0"}, 1001, 2, kNow, 0, {{kPool, "0"}}},
        {"pathway entered from -1",
         {"UPDATE card SET group_id = 0", "UPDATE card_type SET pathway_id = 4",
          "INSERT INTO pathway_ft VALUES (4, 10, 11, 15)"},
         1001, 1, kNow, 0, {{"SELECT in_gate FROM card WHERE number = 1001", "10"}}},
        {"next step within 15 minutes", {"UPDATE card SET trans_dt = {ts '2024-05-29 09:45:00'}"}, 1001, 2, kNow, 0,
         {{"SELECT in_gate FROM card WHERE number = 1001", "-1"}}},
        {"next step at 16 minutes", {"UPDATE card SET in_gate = 10, trans_dt = {ts '2024-05-29 09:44:00'}"}, 1001, 2,
         kNow, 6, {{"SELECT in_gate FROM card WHERE number = 1001", "10"}}},
        {"no such step", {"UPDATE card SET trans_dt = {ts '2024-05-29 09:59:00'}"}, 1001, 3, kNow, 6, {}},
        {"soft path lets it through and ends the path", {"UPDATE settings SET soft_path = 1"}, 1001, 3, kNow, 14,
         {{"SELECT in_gate FROM card WHERE number = 1001", "-1"}}},
    });
}

TEST_P(Cards, DebitUsesAndMonthlyRenewal)
{
    Run({
        {"plain debit inside the free window",
         {"UPDATE device SET debit_flag = 1",
          "UPDATE card_type SET no_expiry_flg = 0, debit_flg = 1, debit_time_limit = 10, debit_time_limit_flg = 1",
          "UPDATE card SET start_dt = {ts '2024-01-01 00:00:00'}, debit_left = 0, debit_date = {ts '2024-05-29 09:55:00'}"},
         1001, 1, kNow, 0, {{"SELECT debit_left FROM card WHERE number = 1001", "0"},
                            {"SELECT debit_date FROM card WHERE number = 1001", "2024-05-29 09:55:00"}}},
        {"plain debit 11 minutes after", {"UPDATE card SET in_lot = 0"}, 1001, 1, kNow + 6.0 / 1440, 3, {}},
        {"plain debit with uses left",
         {"UPDATE card SET debit_left = 2"},
         1001, 2, kNow + 6.0 / 1440, 0, {{"SELECT debit_left FROM card WHERE number = 1001", "1"}}},
        {"monthly renewal",
         {"UPDATE card_type SET debit_flg = 0, debit_reset_flag = 1, uses = 20, debit_time_limit_flg = 0",
          "UPDATE card SET in_lot = 0, debit_left = 0, debit_reset_date = {ts '2024-05-31 23:59:59'}"},
         1001, 1, At(2024, 6, 2, 9, 0), 0,
         {{"SELECT debit_left FROM card WHERE number = 1001", "19"},
          {"SELECT debit_reset_date FROM card WHERE number = 1001", "2024-06-30 23:59:59"}}},
    });
}

INSTANTIATE_TEST_SUITE_P(Databases, Cards, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);

TEST(CardText, MemoryRecordTimesAndMessageTexts)
{
    const auto now = At(2024, 5, 31, 14, 10);
    EXPECT_EQ(cardaccess::MemoryRecordTime("240531140500012345", now), At(2024, 5, 31, 14, 5));
    EXPECT_EQ(cardaccess::MemoryRecordTime("2405312358", At(2024, 5, 31, 23, 50)), At(2024, 5, 30, 23, 58));
    EXPECT_FALSE(cardaccess::MemoryRecordTime("2400311405", now).has_value());
    EXPECT_FALSE(cardaccess::MemoryRecordTime("24xx311405", now).has_value());
    EXPECT_EQ(cardaccess::AccessResultText(13), "Group Max. Exceeded");
    EXPECT_EQ(cardaccess::AccessResultText(9), "Not On File");
    EXPECT_EQ(cardaccess::AccessResultText(7), "Unknown error!");
}

TEST_P(Cards, InvalidMemoryRecordIsLoggedAndDropped)
{
    cardaccess::TCardOutputs out;
    EXPECT_EQ(CardTransaction(true, *m_log, m_odbc, false, "2413991405xx1001", true, 1001, 1, 1, out, kNow),
              cardaccess::kRejectedRecord);
    EXPECT_EQ(Value("SELECT COUNT(*) AS n FROM trans"), "0");
    m_log->Log("");
    EXPECT_NE(ReadFile(LogFile()).find("Memory record with an invalid date rejected: 2413991405xx1001"),
              std::string::npos);
    // A valid memory record is booked with its own time and mem_flag 1.
    EXPECT_EQ(CardTransaction(true, *m_log, m_odbc, false, "2405290930    1001", true, 1001, 1, 1, out, kNow), 0);
    EXPECT_EQ(Value("SELECT mem_flag FROM trans"), "1");
    EXPECT_EQ(Value("SELECT dat_e FROM trans"), "2024-05-29 09:30:00");
    EXPECT_EQ(out.OpenPulse, 3);
    EXPECT_EQ(out.DeviceName, "Entry");
    EXPECT_EQ(out.FirstName, "Ann");
    EXPECT_EQ(out.SpaceNo, -1);
}

TEST_P(Cards, MessageTemplatesExpandFromTheCard)
{
    const auto expand = [&](const char* templ, const std::string& cardText, platform::TDateTime today = kNow) {
        const auto card = cardaccess::ReadCardRow(m_odbc, 1001);
        EXPECT_TRUE(card);
        const auto type = cardaccess::ReadCardTypeRow(m_odbc, card ? card->TypeId : 0);
        EXPECT_TRUE(type);
        return cardaccess::ExpandTemplate(templ, cardaccess::CardFields(card.value_or(cardaccess::TCardRow{}),
                                                                        type.value_or(cardaccess::TCardTypeRow{})),
                                          cardText, today);
    };
    EXPECT_EQ(expand("Hello %f %l %", ""), "Hello Ann O'Neil");
    EXPECT_EQ(expand("Card %c%% %x!", "77"), "Card 77 !");
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE card SET last_name = '', exp_iry = {ts '2024-06-08 12:00:00'}"));
    EXPECT_EQ(expand("Hi %f %l", ""), "Hi Ann");
    EXPECT_EQ(expand("%d days", ""), "10 days");
}

TEST_P(Cards, DecisionIsCommittedOnceEvenWhenAStatementFails)
{
    ASSERT_TRUE(m_db->Run(m_odbc, "DROP TABLE trans"));
    cardaccess::TCardOutputs out;
    EXPECT_EQ(CardTransaction(false, *m_log, m_odbc, false, "0000", false, 1001, 1, 1, out, kNow), 0);
    // Another session sees the updates: the transaction ended with the decision.
    db::TODBC other;
    ASSERT_TRUE(m_db->Connect(other));
    db::TODBCStatement s(other);
    ASSERT_TRUE(s.Exec("SELECT in_lot FROM card WHERE number = 1001"));
    EXPECT_EQ(s.AsInteger("in_lot"), 1);
}

TEST_P(Cards, DecisionThatLosesADeadlockRunsAgainAndBooksOnce)
{
    if (GetParam() != TDbFamily::MariaDB)
        GTEST_SKIP() << "SQLite takes one writer at a time: no deadlock";
    ASSERT_TRUE(m_db->Run(m_odbc, "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (5, 10, 3)"));
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE card SET group_id = 5"));
    ASSERT_TRUE(m_db->Run(m_odbc, "CREATE TABLE heavy (n INTEGER)"));
    const int session = std::stoi(Value("SELECT CONNECTION_ID() AS id"));
    // Another transaction, heavier so that the decision is the one rolled back,
    // holds the group's row and then asks for the card's.
    db::TODBC other;
    ASSERT_TRUE(m_db->Connect(other));
    db::TODBCStatement o(other);
    ASSERT_TRUE(o.Exec("START TRANSACTION"));
    ASSERT_TRUE(o.Exec("INSERT INTO heavy SELECT seq FROM seq_1_to_500"));
    ASSERT_TRUE(o.Exec("UPDATE card_pool SET max_inlot = 10 WHERE id = 5"));
    cardaccess::TCardOutputs out;
    int result = -99;
    std::thread decision([&] { result = CardTransaction(false, *m_log, m_odbc, false, "0000", false, 1001, 1, 1, out, kNow); });
    db::TODBC watcher;
    ASSERT_TRUE(m_db->Connect(watcher));
    db::TODBCStatement w(watcher);
    const bool waiting = testing_support::WaitFor(
        [&] {
            return w.ExecSQL("SELECT id FROM information_schema.processlist WHERE id = " + std::to_string(session) +
                             " AND info LIKE 'SET STATEMENT %UPDATE card LEFT JOIN card_pool%'");
        },
        std::chrono::seconds(10));
    EXPECT_TRUE(waiting) << "the decision, holding the card's row, waits for the group's";
    EXPECT_TRUE(o.Exec("UPDATE card SET first_name = first_name WHERE number = 1001")) << "the decision gave way";
    EXPECT_TRUE(o.Exec("COMMIT"));
    decision.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Value("SELECT COUNT(*) AS n FROM trans"), "1") << "one row for one presentation";
    EXPECT_EQ(Value("SELECT cur_inlot FROM card_pool WHERE id = 5"), "4") << "counted once";
    EXPECT_EQ(Value("SELECT in_lot FROM card WHERE number = 1001"), "1");
    m_log->Log("");
    EXPECT_NE(ReadFile(LogFile()).find("Card 1001: the decision lost to another transaction ("), std::string::npos)
        << ReadFile(LogFile());
}

TEST_P(Cards, DecisionCutOffByALostConnectionLeavesNothingHalfDone)
{
    if (GetParam() != TDbFamily::MariaDB)
        GTEST_SKIP() << "only a server session can be killed";
    ASSERT_TRUE(m_db->Run(m_odbc, "INSERT INTO card_pool (id, max_inlot, cur_inlot) VALUES (5, 10, 3)"));
    ASSERT_TRUE(m_db->Run(m_odbc, "UPDATE card SET group_id = 5"));
    // The trans INSERT, the decision's last statement, waits long enough to be killed.
    ASSERT_TRUE(m_db->Run(m_odbc, "CREATE TRIGGER trans_hold BEFORE INSERT ON trans FOR EACH ROW "
                                  "SET NEW.first_name = CONCAT(NEW.first_name, LEFT(SLEEP(5), 0))"));
    const int session = std::stoi(Value("SELECT CONNECTION_ID() AS id"));
    std::thread killer([&] {
        db::TODBC admin;
        if (!m_db->Connect(admin))
            return;
        db::TODBCStatement s(admin);
        testing_support::WaitFor(
            [&] {
                return s.ExecSQL("SELECT id FROM information_schema.processlist WHERE id = " +
                                 std::to_string(session) + " AND info LIKE 'INSERT INTO trans%'");
            },
            std::chrono::seconds(10));
        s.ExecSQL("KILL " + std::to_string(session));
    });
    cardaccess::TCardOutputs out;
    CardTransaction(false, *m_log, m_odbc, false, "0000", false, 1001, 1, 1, out, kNow);
    killer.join();
    db::TODBC other;
    ASSERT_TRUE(m_db->Connect(other));
    db::TODBCStatement s(other);
    ASSERT_TRUE(s.Exec("SELECT in_lot FROM card WHERE number = 1001"));
    EXPECT_EQ(s.AsInteger("in_lot"), 0) << "the card's update was undone with the session";
    ASSERT_TRUE(s.Exec("SELECT cur_inlot FROM card_pool WHERE id = 5"));
    EXPECT_EQ(s.AsInteger("cur_inlot"), 3);
    EXPECT_FALSE(s.Exec("SELECT * FROM trans"));
}
