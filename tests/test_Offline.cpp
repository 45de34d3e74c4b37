// The offline copy and the journal against real databases: what a copy holds
// and when it may not be used, what the journal keeps, and a replay that books
// each entry once with its text intact.
#include "access/CardCheck.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Sql.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using testing_support::TDbFamily;

namespace {

class Offline : public testing_support::TSiteTest {
protected:
    std::string CopyPath() const { return m_dir / "offline/copy.db"; }
    std::string JournalPath() const { return m_dir / "offline/journal.db"; }
    std::unique_ptr<db::TOfflineCopy> Copy(int maxAgeHours = 24)
    {
        return std::make_unique<db::TOfflineCopy>(config::TOfflineParams{.Decisions = true, .MaxAgeHours = maxAgeHours},
                                                  CopyPath(), "loop_id IN (1)", *m_log);
    }
    bool Logged(const std::string& start)
    {
        const auto lines = LogLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    }
};

// Text as the copy renders it: the SQLite rule.
std::string Quoted(const std::string& text)
{
    return "'" + db::TSql(db::dkSQLite).EscapeText(text) + "'";
}

} // namespace

TEST_P(Offline, CopyDecidesAsTheSiteWouldAndIsNotUsedOnceTooOldOrBroken)
{
    for (const char* sql : {
             "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (1, 1, 1, 'Entry', 1, 3)",
             "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (2, 2, 1, 'Other', 1, 3)",
             "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback) VALUES (1, 1, 1, 0)",
             "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
             "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
             "INSERT INTO a_l_range_device VALUES (1, 1)",
             "INSERT INTO messages (id, accepted) VALUES (1, 'O''Brien \\\\ in')",
             "INSERT INTO card (number, type_id, first_name, in_lot) VALUES (1001, 1, 'Ann', 2)",
         })
        ASSERT_TRUE(Exec(sql)) << sql;
    auto copy = Copy();
    EXPECT_FALSE(copy->Usable()) << "no copy yet";
    ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
    EXPECT_TRUE(Logged("Offline copy rebuilt (no copy yet): "));
    ASSERT_TRUE(copy->Usable());

    // The copy decides as the site would: its dates, times and texts came across.
    db::TODBC local;
    local.MessageLog = m_log.get();
    ASSERT_TRUE(db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy));
    const struct {
        double card;
        int result;
    } cases[] = {{1001, cardaccess::arAccepted}, {1001, cardaccess::arPassback}, {4242, cardaccess::arNotOnFile}};
    for (const auto& c : cases) {
        cardaccess::TCardOutputs out;
        EXPECT_EQ(cardaccess::CardTransaction(false, *m_log, local, false, "", false, c.card, 1, 1, out), c.result)
            << c.card;
        if (c.result == cardaccess::arAccepted) {
            ASSERT_TRUE(out.Messages);
            EXPECT_EQ(out.Messages->Texts[0], GetParam() == TDbFamily::MariaDB ? "O'Brien \\ in" : "O'Brien \\\\ in");
        }
    }
    db::TODBCStatement s(local);
    ASSERT_TRUE(s.Exec("SELECT COUNT(*) AS n FROM device"));
    EXPECT_EQ(s.AsInteger("n"), 1) << "only this computer's loops";
    local.Disconnect();

    // Too old: the read time is what counts.
    {
        db::TODBC edit;
        ASSERT_TRUE(db::ConnectLocalFile(edit, CopyPath(), db::TLocalFile::Copy));
        db::TODBCStatement e(edit);
        ASSERT_TRUE(e.Exec("UPDATE velix_copy SET read_at = " +
                           db::DateTimeEscape(platform::NowDateTime() - platform::Minutes(90))));
    }
    std::string why;
    EXPECT_TRUE(Copy(2)->Usable(&why)) << why;
    EXPECT_FALSE(Copy(1)->Usable(&why));
    EXPECT_NE(why.find("hours old"), std::string::npos) << why;

    // Broken: not used, and made anew by the next refresh.
    testing_support::WriteFile(CopyPath(), "not a database at all");
    copy = Copy();
    EXPECT_FALSE(copy->Usable());
    ASSERT_TRUE(copy->Refresh(m_odbc));
    EXPECT_TRUE(Copy()->Usable());
}

TEST_P(Offline, ReplayBooksEachEntryOnceWithItsTextAsItWas)
{
    const std::vector<std::string> names = {"O'Brien", "back\\slash", "two\nlines", "\\'; DROP TABLE trans; --"};
    const platform::TDateTime decided = platform::NowDateTime() - platform::Minutes(30);
    {
        db::TJournal journal(JournalPath(), 100, *m_log);
        for (std::size_t i = 0; i < names.size(); ++i)
            ASSERT_TRUE(journal.Append("gatepc", decided,
                                       {"INSERT INTO trans (cardno, dat_e, first_name) VALUES (" + std::to_string(7000 + i) +
                                            ", " + db::DateTimeEscape(decided) + ", " + Quoted(names[i]) + ")",
                                        "UPDATE card SET in_lot = 1 WHERE number = 7000"}));
        EXPECT_EQ(journal.Depth(), names.size());
    }
    std::filesystem::copy_file(JournalPath(), m_dir / "kept.db");
    auto replay = [&] {
        db::TJournal journal(JournalPath(), 100, *m_log);
        db::TJournalReplay r(journal, m_db->ConnParams(), *m_log);
        EXPECT_TRUE(r.ReplayOnce());
        EXPECT_EQ(journal.Depth(), 0u);
    };
    replay();
    EXPECT_TRUE(Logged("Journal replay ended: 4 applied, 0 already booked, 0 left"));
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(Value("SELECT first_name FROM trans WHERE cardno = " + std::to_string(7000 + i)), names[i]);
    EXPECT_EQ(Value("SELECT COUNT(*) FROM trans WHERE dat_e = " + db::DateTimeEscape(decided)), "4");

    // What a crash between the site's commit and the journal's removal leaves.
    std::filesystem::copy_file(m_dir / "kept.db", JournalPath(), std::filesystem::copy_options::overwrite_existing);
    replay();
    EXPECT_TRUE(Logged("Journal replay ended: 0 applied, 4 already booked, 0 left"));
    EXPECT_EQ(Value("SELECT COUNT(*) FROM trans"), "4");
    EXPECT_EQ(Value("SELECT COUNT(*) FROM velix_journal WHERE computer = 'gatepc'"), "4");
}

TEST_P(Offline, TwoComputersReplayingAtOnceBookEachOfTheirEntriesOnce)
{
    constexpr int kEntries = 100;
    const std::vector<std::string> computers = {"gatea", "gateb"};
    std::vector<std::unique_ptr<db::TJournal>> journals;
    for (const auto& computer : computers) {
        journals.push_back(std::make_unique<db::TJournal>(m_dir / (computer + ".db"), 1000, *m_log));
        for (int i = 0; i < kEntries; ++i)
            ASSERT_TRUE(journals.back()->Append(computer, platform::NowDateTime(),
                                                {"INSERT INTO trans (cardno, device_name) VALUES (" + std::to_string(i) +
                                                 ", '" + computer + "')"}));
    }
    std::vector<std::thread> replays;
    for (auto& journal : journals)
        replays.emplace_back([&, j = journal.get()] {
            db::TJournalReplay replay(*j, m_db->ConnParams(), *m_log);
            for (int pass = 0; pass < 20 && j->Depth() > 0; ++pass)
                replay.ReplayOnce();  // a pass that lost the file's lock to the other goes on later
        });
    for (auto& t : replays)
        t.join();
    for (const auto& computer : computers) {
        SCOPED_TRACE(computer);
        EXPECT_EQ(Value("SELECT COUNT(*) FROM trans WHERE device_name = '" + computer + "'"), std::to_string(kEntries));
        EXPECT_EQ(Value("SELECT COUNT(*) FROM velix_journal WHERE computer = '" + computer + "'"),
                  std::to_string(kEntries));
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, Offline, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);

TEST(OfflineJournal, WarnsOnceAtNinetyPercentStopsAtTheLimitAndLosesNothing)
{
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "j.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    const std::string path = dir / "journal.db";
    {
        db::TJournal journal(path, 10, log);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(journal.Append("gatepc", platform::NowDateTime(), {"UPDATE lot SET lot_count = lot_count + 1"}));
        EXPECT_TRUE(journal.Full());
        EXPECT_FALSE(journal.Append("gatepc", platform::NowDateTime(), {"UPDATE lot SET lot_count = lot_count + 1"}));
    }
    const std::string text = testing_support::ReadFile(dir / "j.log");
    EXPECT_EQ(testing_support::Occurrences(text, "Offline journal at 9 of its 10 entries"), 1);
    EXPECT_EQ(testing_support::Occurrences(text, "Offline journal full (10 entries)"), 1);
    // Opened again (a restart): every entry, in order, nothing dropped.
    db::TJournal again(path, 10, log);
    EXPECT_EQ(again.Depth(), 10u);
    const auto entries = again.Oldest(20);
    ASSERT_EQ(entries.size(), 10u);
    for (std::size_t i = 1; i < entries.size(); ++i)
        EXPECT_LT(entries[i - 1].Sequence, entries[i].Sequence);
    EXPECT_EQ(entries.front().Statements, std::vector<std::string>{"UPDATE lot SET lot_count = lot_count + 1"});
}

TEST(OfflineJournal, AFullDiskRefusesTheEntryAndKeepsWhatWasWritten)
{
    testing_support::TTempDir dir;
    const std::string small = dir / "small";
    std::filesystem::create_directories(small);
    // A file system of its own, a few pages large: root only.
    if (testing_support::Run({"/bin/mount", "-t", "tmpfs", "-o", "size=96k", "tmpfs", small}, {}).Status != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    config::TMessLog log(dir / "j.log", config::TMessLog::TOptions{.NoHeader = true}, "");
    std::size_t kept = 0;
    {
        db::TJournal journal(small + "/journal.db", 100000, log);
        const std::vector<std::string> writes = {"INSERT INTO trans (cardno, error_desc) VALUES (1, '" +
                                                 std::string(2000, 'x') + "')"};
        for (int i = 0; i < 1000 && journal.Append("gatepc", platform::NowDateTime(), writes); ++i)
            ++kept;
        EXPECT_FALSE(journal.Append("gatepc", platform::NowDateTime(), writes)) << "the disk is full";
        EXPECT_EQ(journal.Depth(), kept);
    }
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, 1000u);
    log.Log("");
    EXPECT_NE(testing_support::ReadFile(dir / "j.log").find("Offline journal: a decision could not be written"),
              std::string::npos);
    {
        db::TJournal again(small + "/journal.db", 100000, log);
        EXPECT_EQ(again.Depth(), kept) << "what was written stays";
        EXPECT_EQ(again.Oldest(2000).size(), kept);
    }
    testing_support::Run({"/bin/umount", small}, {});
}
