// The offline copy refreshed by ranges against real databases: the copy row
// for row as the site after changes of every kind, the cases that make it
// afresh, a reader during refreshes, a site with only the decisions' columns
// and NULLs, and the checksum of the copy against the server's on awkward values.
#include "access/CardCheck.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/OfflineCopyRows.hpp"
#include "db/OfflineCopySums.hpp"
#include "db/Sql.hpp"
#include "platform/Metrics.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

using namespace std::chrono_literals;
using testing_support::TDbFamily;

namespace {

constexpr const char* kDevices = "loop_id IN (1)";

struct TRangeLine {
    long long Read = -1, Ranges = -1, Rows = -1;
};

// A value as both sides agree on it: numbers by their value ("1006" and
// "1006.0" alike) to the 15 digits the SQLite driver gives, NULL apart from
// every text. (The checksums compare the exact values.)
std::string Normalised(const db::offline::TRawRows& rows, std::size_t column)
{
    if (rows.IsNull(column))
        return "<NULL>";
    const std::string text(rows.Text(column));
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (!text.empty() && end && *end == '\0' && text.find_first_of(" \t\n") == std::string::npos)
        return config::Format("%.15g", number);
    return text;
}

class OfflineCopy : public testing_support::TSiteTest {
protected:
    std::string CopyPath() const { return m_dir / "offline/copy.db"; }
    std::unique_ptr<db::TOfflineCopy> MakeCopy()
    {
        return std::make_unique<db::TOfflineCopy>(config::TOfflineParams{.Decisions = true}, CopyPath(), kDevices,
                                                  *m_log);
    }
    bool MariaDb() const { return GetParam() == TDbFamily::MariaDB; }
    void Site(const std::string& sql) { ASSERT_TRUE(Exec(sql)) << sql << "\n" << testing_support::ReadFile(LogFile()); }

    // Cards first, first + step, ... of type 1.
    void AddCards(int first, int count, int step)
    {
        const std::string insert = "INSERT INTO card (number, type_id, first_name, last_name, in_lot) SELECT ";
        const std::string values = config::Format("%d + (seq - 1) * %d, 1, 'F', 'L', 0", first, step);
        Site(MariaDb() ? insert + values + " FROM seq_1_to_" + std::to_string(count)
                       : "WITH RECURSIVE s(seq) AS (SELECT 1 UNION ALL SELECT seq + 1 FROM s WHERE seq < " +
                             std::to_string(count) + ") " + insert + values + " FROM s");
    }
    void AddSiteRows()
    {
        for (const char* sql : {
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (1, 1, 1, 'Entry', 1, 3)",
                 "INSERT INTO device (id, loop_id, addr_ess, name, dir_ection, open_pulse) VALUES (2, 2, 1, 'Other', 1, 2.5)",
                 "INSERT INTO card_type (id, access_level_id, no_expiry_flg) VALUES (1, 1, 1)",
                 "INSERT INTO messages (id, accepted) VALUES (1, 'Welcome')",
                 "INSERT INTO lot (id, name, lot_count, max_capacity) VALUES (1, 'North', 0, 100)",
                 "INSERT INTO a_l_range_device VALUES (1, 1)",
             })
            Site(sql);
        AddCards(10, 5000, 10);
    }

    // The counts of the last refresh line, or -1s when the last refresh made the copy afresh.
    TRangeLine LastRangeLine()
    {
        const auto lines = LogLines();
        for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
            if (l->rfind("Offline copy rebuilt", 0) == 0)
                return {};
            std::smatch m;
            static const std::regex kLine(R"(^Offline copy refreshed: ([0-9,]+) of ([0-9,]+) ranges, ([0-9,]+) rows in )");
            if (!std::regex_search(*l, m, kLine))
                continue;
            auto number = [](std::string s) {
                std::erase(s, ',');
                return std::stoll(s);
            };
            return {number(m[1]), number(m[2]), number(m[3])};
        }
        return {};
    }
    std::string LastRebuild()
    {
        const auto lines = LogLines();
        for (auto l = lines.rbegin(); l != lines.rend(); ++l)
            if (l->rfind("Offline copy r", 0) == 0)
                return l->rfind("Offline copy rebuilt (", 0) == 0 ? l->substr(22, l->find("): ") - 22) : "";
        return "";
    }

    // Every row of the copied table, normalised and sorted; on the site only
    // those the copy takes.
    std::vector<std::string> Rows(db::TODBC& odbc, const std::string& table, const std::string& columns,
                                  const std::string& where)
    {
        db::offline::TRawRows rows(odbc);
        std::vector<std::string> out;
        EXPECT_TRUE(rows.Open("SELECT " + columns + " FROM " + table + (where.empty() ? "" : " WHERE " + where)))
            << odbc.LastDiagnostic;
        while (rows.Next()) {
            std::string row;
            for (std::size_t i = 0; i < rows.Columns().size(); ++i)
                row += Normalised(rows, i) + "|";
            out.push_back(row);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    // siteColumns: the site's columns where they are not the copy's own ("date_set+0").
    void ExpectCopyEqualsSite(const std::map<std::string, std::string>& siteColumns = {})
    {
        db::TODBC copy;
        ASSERT_TRUE(db::ConnectLocalFile(copy, CopyPath(), db::TLocalFile::Copy));
        for (const char* table : {"card", "device", "card_type", "messages", "lot", "a_l_range_device", "tickinv"}) {
            SCOPED_TRACE(table);
            db::TODBCStatement s(copy);
            std::string columns = s.ListColumns(table);
            ASSERT_FALSE(columns.empty());
            const std::string t = table;
            const std::string where = t == "device" ? kDevices : "";
            std::string site = columns;
            for (const auto& [column, expression] : siteColumns)
                if (const auto at = site.find(column); at != std::string::npos && t == "card")
                    site.replace(at, column.size(), expression);
            const auto local = Rows(copy, t, columns, ""), remote = Rows(m_odbc, t, site, where);
            std::vector<std::string> onlyLocal, onlySite;
            std::set_difference(local.begin(), local.end(), remote.begin(), remote.end(), std::back_inserter(onlyLocal));
            std::set_difference(remote.begin(), remote.end(), local.begin(), local.end(), std::back_inserter(onlySite));
            EXPECT_EQ(onlyLocal, onlySite) << "rows of the copy, and of the site, that the other has not";
        }
    }
    std::vector<std::string> CopyBounds()
    {
        db::TODBC copy;
        EXPECT_TRUE(db::ConnectLocalFile(copy, CopyPath(), db::TLocalFile::Copy));
        db::offline::TRawRows rows(copy);
        EXPECT_TRUE(rows.Open("SELECT velix_bounds(number, " + std::to_string(db::offline::kRangeRows) + ") FROM card",
                              db::offline::TRawRows::TFetch::Whole));
        EXPECT_TRUE(rows.Next());
        return db::offline::SplitBounds(rows.Text(0));
    }
};

} // namespace

TEST_P(OfflineCopy, ChangedAddedAndDeletedRowsLeaveTheCopyRowForRowAsTheSite)
{
    AddSiteRows();
    auto copy = MakeCopy();
    std::vector<std::string> statements;
    m_odbc.OnExec = [&](const std::string& sql) { statements.push_back(sql); };
    ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
    m_odbc.OnExec = nullptr;
    EXPECT_EQ(LastRebuild(), "no copy yet");
    if (MariaDb()) {
        // One consistent read; a single server is no Galera node.
        EXPECT_NE(std::find(statements.begin(), statements.end(), "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY"),
                  statements.end());
        EXPECT_EQ(std::count_if(statements.begin(), statements.end(),
                                [](const std::string& s) { return s.find("wsrep_sync_wait") != std::string::npos; }),
                  0);
    }
    ExpectCopyEqualsSite();

    // Range edges from the copy itself: a bound is the first key of its range.
    const auto bounds = CopyBounds();
    ASSERT_GT(bounds.size(), 100u);
    const std::string edge = bounds[10], next = bounds[20], third = bounds[30];
    // Every row of a range changed alike: an XOR of their CRC32s would not change.
    const std::string wholeRange = "number >= " + bounds[40] + " AND number < " + bounds[41];
    struct TRound {
        const char* what;
        std::vector<std::string> changes;
    };
    const TRound rounds[] = {
        {"changed, added, deleted, NULL becoming text",
         {"UPDATE card SET in_lot = 1 WHERE number = 1000",
          "UPDATE card SET in_lot = 7 WHERE " + wholeRange,
          "DELETE FROM card WHERE number = " + edge,
          "INSERT INTO card (number, type_id, first_name) VALUES (" + next + " - 1, 1, 'Below a bound')",
          "INSERT INTO card (number, type_id, first_name) VALUES (" + third + ", 1, 'Same number as a bound')",
          "INSERT INTO card (number, type_id, first_name) VALUES (1, 1, 'Before the first')",
          "INSERT INTO card (number, type_id, first_name) VALUES (999990, 1, 'After the last')",
          "UPDATE card SET first_name = '' WHERE number = 2000",
          "UPDATE card SET exp_iry = {ts '2031-02-03 04:05:06'} WHERE number = 3000",
          "UPDATE device SET ptr_stat = 3, name = 'Entry ''A''' WHERE id = 1",
          "UPDATE messages SET accepted = 'back\\\\slash' WHERE id = 1",
          "INSERT INTO tickinv (barcode, ticket, in_date) VALUES ('0001', 1, {fn now()})"}},
        {"text becoming NULL and back, rows at the edges gone",
         {"UPDATE card SET in_lot = 0 WHERE " + wholeRange,
          "UPDATE card SET exp_iry = NULL WHERE number = 3000",
          "UPDATE card SET first_name = 'F' WHERE number = 2000",
          "DELETE FROM card WHERE number = 999990",
          "DELETE FROM card WHERE number = " + third,
          "UPDATE device SET ptr_stat = NULL WHERE id = 1",
          "DELETE FROM tickinv"}},
        {"nothing", {}},
    };
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.what);
        for (const auto& sql : round.changes)
            Site(sql);
        const double rowsBefore = platform::Metrics().Value("velixcard_offline_refresh_rows_total");
        ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
        const TRangeLine line = LastRangeLine();
        ASSERT_GT(line.Ranges, 5000 / db::offline::kRangeRows) << "refreshed by ranges";
        // A change falls in a range or two (the bounds move with the rows).
        EXPECT_LE(line.Read, 2 * static_cast<long long>(round.changes.size()));
        EXPECT_EQ(line.Read == 0, round.changes.empty());
        EXPECT_LE(line.Rows, line.Read * 3 * db::offline::kRangeRows);
        EXPECT_EQ(platform::Metrics().Value("velixcard_offline_refresh_rows_total") - rowsBefore,
                  static_cast<double>(line.Rows));
        ExpectCopyEqualsSite();
    }
    // Started again: the copy on file passes its check and is refreshed by ranges.
    copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc));
    EXPECT_EQ(LastRangeLine().Read, 0) << testing_support::ReadFile(LogFile());
}

TEST_P(OfflineCopy, ACopyThatNoLongerFitsIsMadeAfreshAndSaysWhy)
{
    AddSiteRows();
    auto copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc));
    const auto onCopy = [&](const std::string& sql) {
        db::TODBC local;
        ASSERT_TRUE(db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy));
        db::TODBCStatement s(local);
        ASSERT_TRUE(s.Run(sql)) << sql;
    };
    struct TCase {
        const char* why;
        std::function<void()> change;
    };
    const TCase cases[] = {
        {"ranges changed", [&] { Site("UPDATE card SET in_lot = in_lot + 1"); }},
        {"the columns of table card changed", [&] { Site("ALTER TABLE card DROP COLUMN misc_4"); }},
        {"the columns of table card changed", [&] { Site("ALTER TABLE card ADD misc_4 varchar(40) NULL"); }},
        {"the copy was made by an earlier version", [&] { onCopy("DROP TABLE velix_copy_table"); }},
        {"the copy cannot be", [&] { testing_support::WriteFile(CopyPath(), "not a database at all"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        c.change();
        ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
        EXPECT_NE(LastRebuild().find(c.why), std::string::npos) << LastRebuild() << testing_support::ReadFile(LogFile());
        ExpectCopyEqualsSite();
        ASSERT_TRUE(copy->Refresh(m_odbc));
        EXPECT_EQ(LastRangeLine().Read, 0) << "the new copy is refreshed by ranges";
    }
}

TEST_P(OfflineCopy, AReaderDuringRefreshesSeesTheOldOrTheNewCopyNeverAMix)
{
    AddSiteRows();
    // Cards spread over the table, and the lot count, change together.
    const std::string spread = "number IN (10, 5000, 12340, 25000, 37770, 49990)";
    auto copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc));
    std::atomic<bool> stop{false};
    std::atomic<int> mixes{0}, reads{0};
    std::set<int> generations;
    std::thread reader([&] {
        while (!stop) {
            // As a decision does, a connection for a while, then a new one.
            db::TODBC local;
            if (!db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy))
                continue;
            for (int i = 0; i < 50 && !stop; ++i) {
                db::TODBCStatement s(local);
                if (!s.ExecSQL("SELECT MIN(in_lot) AS lo, MAX(in_lot) AS hi, COUNT(*) AS n, (SELECT lot_count FROM lot "
                               "WHERE id = 1) AS lot FROM card WHERE " + spread))
                    continue;
                ++reads;
                if (s.AsInteger("lo") != s.AsInteger("hi") || s.AsInteger("lo") != s.AsInteger("lot") ||
                    s.AsInteger("n") != 6)
                    ++mixes;
                else
                    generations.insert(s.AsInteger("lot"));
            }
        }
    });
    for (int g = 1; g <= 8; ++g) {
        Site("UPDATE card SET in_lot = " + std::to_string(g) + " WHERE " + spread);
        Site("UPDATE lot SET lot_count = " + std::to_string(g) + " WHERE id = 1");
        ASSERT_TRUE(copy->Refresh(m_odbc, g == 4 ? db::TOfflineCopy::TRefresh::Rebuild : db::TOfflineCopy::TRefresh::ByRanges))
            << testing_support::ReadFile(LogFile());
        const int seen = reads;
        EXPECT_TRUE(testing_support::WaitFor([&] { return reads > seen; }, 5s));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(mixes, 0);
    EXPECT_GE(generations.size(), 3u) << "the reader followed the refreshes";
}

TEST_P(OfflineCopy, ARefreshGivesWayToWritesMadeToTheCopyMeanwhile)
{
    AddSiteRows();
    auto copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc));
    Site("UPDATE messages SET idle = 'site' WHERE id = 1");
    // A decision made from the copy meanwhile, as a loop whose connection failed makes one.
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        db::TODBC local;
        if (!db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy))
            return;
        while (!stop) {
            db::TODBCStatement s(local);
            if (s.ExecSQL("UPDATE card SET in_lot = " + std::to_string(written + 1) + " WHERE number = 10"))
                ++written;
        }
    });
    ASSERT_TRUE(testing_support::WaitFor([&] { return written > 0; }, 5s));
    bool refused = false;
    for (int i = 0; i < 20 && !refused; ++i)
        refused = !copy->Refresh(m_odbc);
    stop = true;
    writer.join();
    EXPECT_TRUE(refused);
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Offline copy not refreshed (decisions were made from the copy during the refresh); the previous "
                        "copy stays"),
              lines.end());
}

TEST_P(OfflineCopy, ASiteWithOnlyTheDecisionsColumnsAndNullsIsCopiedAsItIsAndDecidedAlike)
{
    // The site's own tables: no card id, no lot or card type name, NULLs where
    // nothing forbids them.
    for (const char* sql : {
             "DROP TABLE card", "DROP TABLE device",
             "CREATE TABLE card (number double, type_id int, first_name varchar(40), last_name varchar(60), "
             "str_eet varchar(80), misc_1 varchar(40), misc_2 varchar(40), misc_3 varchar(40), misc_4 varchar(40), "
             "space_no int, date_set int, start_dt datetime, exp_iry datetime, prev_strt datetime, prev_exp datetime, "
             "debit_left int, debit_date datetime, debit_reset_date datetime, group_id int, in_gate int, in_lot int, "
             "trans_dt datetime)",
             "CREATE TABLE device (id int, loop_id int, lot_id int, addr_ess int, name varchar(40), dir_ection int, "
             "device_type int, msg_id int, open_pulse double, special_out int, no_path int, debit_flag int, "
             "perm_open int, open_flag int, gate_up int, online_flag int, count_soft int, lf_enabled int, lf_output int, "
             "lf_sign int)",
             "ALTER TABLE lot DROP COLUMN name", "ALTER TABLE card_type DROP COLUMN name",
             "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, dir_ection, open_pulse, gate_up) "
             "VALUES (1, 1, 1, 1, 'Entry', 1, 3, NULL)",
             "INSERT INTO card_type (id, access_level_id, no_expiry_flg) VALUES (1, 1, 1)",
             "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
             "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
             "INSERT INTO a_l_range_device VALUES (1, 1)",
             "INSERT INTO messages (id, accepted) VALUES (1, 'Welcome')",
             "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 0, 100)",
             "INSERT INTO card (number, type_id) VALUES (1001, 1)",
             "INSERT INTO card (number, type_id, first_name, str_eet, in_gate, in_lot) VALUES (1002, 1, '', NULL, -1, 0)",
         })
        Site(sql);
    auto copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
    ExpectCopyEqualsSite();
    ASSERT_TRUE(copy->Refresh(m_odbc));
    EXPECT_EQ(LastRangeLine().Read, 0) << "NULLs and empty texts sum alike on both sides";

    db::TODBC local;
    local.MessageLog = m_log.get();
    ASSERT_TRUE(db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy));
    for (const double card : {1001.0, 1002.0, 1001.0, 4242.0}) {
        SCOPED_TRACE(card);
        cardaccess::TCardOutputs online, offline;
        const int siteResult = cardaccess::CardTransaction(false, *m_log, m_odbc, false, "", false, card, 1, 1, online);
        const int copyResult = cardaccess::CardTransaction(false, *m_log, local, false, "", false, card, 1, 1, offline);
        EXPECT_EQ(copyResult, siteResult);
        EXPECT_EQ(offline.Messages.has_value(), online.Messages.has_value());
    }
}

TEST_P(OfflineCopy, TheThreadWaitsForTheJournalAndRefreshesRightAfterTheReplay)
{
    AddSiteRows();
    db::TJournal journal(m_dir / "offline/journal.db", 100, *m_log);
    const auto entry = journal.Append("gatepc", platform::NowDateTime(), {"UPDATE lot SET lot_count = lot_count + 1"});
    ASSERT_TRUE(entry);
    // Refreshed every ten minutes, so a refresh within seconds follows the journal.
    auto copy = std::make_unique<db::TOfflineCopy>(config::TOfflineParams{.Decisions = true, .RefreshMinutes = 10},
                                                   CopyPath(), kDevices, *m_log);
    copy->Start(m_db->ConnParams(), &journal);
    const auto logged = [&](const std::string& start) {
        const auto lines = LogLines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return logged("Offline copy not refreshed: the journal holds decisions the site database has not had") > 0; },
        10s));
    EXPECT_FALSE(std::filesystem::exists(CopyPath())) << "no copy while the journal holds a decision";
    // What the replay does once the site has the entry.
    ASSERT_TRUE(journal.Remove(*entry));
    EXPECT_TRUE(testing_support::WaitFor([&] { return logged("Offline copy rebuilt (no copy yet): ") == 1; }, 10s))
        << testing_support::ReadFile(LogFile());
    EXPECT_EQ(logged("Offline copy not refreshed: the journal holds"), 1) << "said once while it waited";
    EXPECT_TRUE(copy->Usable());
}

INSTANTIATE_TEST_SUITE_P(Databases, OfflineCopy, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);

namespace {

// The copy's checksum against the server's own CRC32(CONCAT_WS(...)) on the
// values sites hold: a range per row, so a difference names its row.
class OfflineChecksum : public OfflineCopy {};

std::string MySqlText(const std::string& text)
{
    return "'" + db::TSql(db::dkMySql).EscapeText(text) + "'";
}

} // namespace

TEST_P(OfflineChecksum, TheCopysRangeSumsEqualTheServersOnAwkwardValues)
{
    for (const char* sql : {
             "SET SESSION sql_mode = ''",  // zero dates, as older sites have them
             "ALTER TABLE card MODIFY first_name varchar(40) CHARACTER SET utf8mb4 NULL, "
             "MODIFY last_name varchar(60) CHARACTER SET latin1 NULL, MODIFY str_eet text NULL, "
             "MODIFY misc_1 char(10) NULL, MODIFY misc_2 time NULL, MODIFY misc_3 date NULL, "
             "MODIFY space_no decimal(10,3) NULL, MODIFY debit_left double NULL, MODIFY date_set bit(1) NULL, "
             "MODIFY group_id bigint NULL, MODIFY in_gate float NULL, MODIFY trans_dt datetime(6) NULL, "
             "MODIFY start_dt timestamp NULL DEFAULT NULL, MODIFY in_lot tinyint(1) NULL, MODIFY number double NULL",
         })
        Site(sql);
    const std::vector<std::string> texts = {"", " pad ", "O'Brien", "back\\slash", "a\x1f" "b", "Zo\xc3\xab \xe6\xbc\xa2 \xf0\x9f\x98\x80",
                                            "{fn now()}", "{ts '2020-01-01 00:00:00'}", "?", "two\nlines", "tab\there",
                                            "trailing  ", "%s %d", "\\'; DROP TABLE card; --"};
    const std::vector<std::string> doubles = {"0.30000000000000004", "1e15", "1e16", "1e-5", "1.2e-15", "1.5e300",
                                              "5e-324", "123456789012345.67", "-2.5", "0", "4503599627370497", "1/3"};
    const std::vector<std::string> others = {
        "misc_1 = 'abc'", "misc_1 = ''", "misc_2 = '-12:00:01'", "misc_2 = '838:59:59'", "misc_3 = '2024-02-29'",
        "misc_3 = '0000-00-00'", "space_no = 12.5", "space_no = -0.001", "space_no = 9999999.999", "in_gate = 1.1",
        "in_gate = 16777217", "in_gate = -0.5", "trans_dt = '2024-01-02 03:04:05.000001'",
        "trans_dt = '0000-00-00 00:00:00'", "start_dt = '2038-01-19 03:14:07'", "group_id = 9223372036854775807",
        "group_id = -9223372036854775807", "date_set = b'1'", "date_set = b'0'", "in_lot = 5", "last_name = 'Zo\xc3\xa9'",
        "str_eet = REPEAT('long text ', 2000)", "first_name = CONCAT('zero', CHAR(0), 'byte')"};
    int number = 1;
    for (const auto& t : texts)
        Site("INSERT INTO card (number, first_name, str_eet) VALUES (" + std::to_string(number++) + ", " +
             MySqlText(t) + ", " + MySqlText(t) + ")");
    for (const auto& d : doubles)
        Site("INSERT INTO card (number, debit_left) VALUES (" + std::to_string(number++) + ", " + d + ")");
    for (const auto& o : others) {
        Site("INSERT INTO card (number) VALUES (" + std::to_string(number) + ")");
        Site("UPDATE card SET " + o + " WHERE number = " + std::to_string(number++));
    }
    // NULL and empty text in each other's place; keys awkward themselves.
    Site("INSERT INTO card (number, first_name, last_name) VALUES (" + std::to_string(number++) + ", NULL, '')");
    Site("INSERT INTO card (number, first_name, last_name) VALUES (" + std::to_string(number++) + ", '', NULL)");
    for (const char* key : {"1e15", "4503599627370497", "0.5", "-7", "1e-300"})
        Site(std::string("INSERT INTO card (number, first_name) VALUES (") + key + ", 'key')");
    Site("INSERT INTO card (number) VALUES (NULL)");

    auto copy = MakeCopy();
    ASSERT_TRUE(copy->Refresh(m_odbc)) << testing_support::ReadFile(LogFile());
    auto tables = db::offline::CopiedTables(db::dkMySql, kDevices, platform::NowDateTime());
    db::offline::TCopyTable& card = tables.front();
    ASSERT_EQ(card.Name, "card");
    ASSERT_TRUE(db::offline::DescribeSite(m_odbc, card));
    std::vector<std::string> bounds;
    {
        db::offline::TRawRows keys(m_odbc);
        ASSERT_TRUE(keys.Open("SELECT DISTINCT CAST(number AS CHAR) FROM card WHERE number IS NOT NULL ORDER BY number"));
        while (keys.Next())
            bounds.emplace_back(keys.Text(0));
    }
    const auto copyValue = [&](const std::string& sql) {
        db::TODBC local;
        EXPECT_TRUE(db::ConnectLocalFile(local, CopyPath(), db::TLocalFile::Copy));
        db::TODBCStatement s(local);
        return s.Exec(sql) ? s.AsString(s.Columns().front().Name) : "(no row)";
    };
    db::offline::TRangeMap site, local;
    ASSERT_TRUE(db::offline::ReadSums(m_odbc, db::offline::MySqlSumsSql(card, bounds), site)) << m_odbc.LastDiagnostic;
    db::TODBC copyDb;
    ASSERT_TRUE(db::ConnectLocalFile(copyDb, CopyPath(), db::TLocalFile::Copy));
    ASSERT_TRUE(db::offline::ReadSums(copyDb, db::offline::LocalSumsSql(card, bounds, db::dkMySql, false),
                                      local))
        << copyDb.LastDiagnostic;
    EXPECT_EQ(site.size(), bounds.size() + 1) << "a range per key and one for the NULL key";
    for (const auto& [range, sums] : site) {
        const std::string key = range <= 0 ? "(none)" : bounds[static_cast<std::size_t>(range - 1)];
        EXPECT_EQ(local[range], sums) << "the card numbered " << key << ": "
                                      << Value("SELECT CONCAT_WS('|', " + card.ColumnList(db::dkMySql) +
                                               ") FROM card WHERE number " + (range < 0 ? "IS NULL" : "= " + key));
    }
    // So a refresh finds nothing to read again.
    ASSERT_TRUE(copy->Refresh(m_odbc));
    EXPECT_EQ(LastRangeLine().Read, 0);
    // The SQLite driver hands over text up to a zero byte; the copy holds all of it.
    const std::string zero = "SELECT HEX(first_name) FROM card WHERE first_name LIKE 'zero%'";
    EXPECT_EQ(copyValue(zero), Value(zero));
    Site("DELETE FROM card WHERE first_name LIKE 'zero%'");
    ASSERT_TRUE(copy->Refresh(m_odbc));
    EXPECT_EQ(LastRangeLine().Read, 1);
    ExpectCopyEqualsSite({{"DATE_SET", "date_set+0"}});
}

INSTANTIATE_TEST_SUITE_P(Databases, OfflineChecksum, ::testing::Values(TDbFamily::MariaDB), testing_support::FamilyName);
