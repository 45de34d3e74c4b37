#include "db/ODBC.hpp"

#include "config/MessLog.hpp"
#include "db/Sql.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

#include <sqlext.h>

#include <cmath>

using db::TODBC;
using db::TODBCStatement;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;

namespace {

class ODBC : public testing_support::TSiteTest {
protected:
    int Count(const std::string& table)
    {
        TODBCStatement s(m_odbc);
        return s.Exec("SELECT COUNT(*) AS n FROM " + table) ? s.AsInteger("n") : -1;
    }
};

} // namespace

TEST_P(ODBC, SelectAndChangeResultsFollowTheirRules)
{
    ASSERT_TRUE(Exec("INSERT INTO lot (id, name, lot_count) VALUES (1, 'North', 5)"));
    struct TCase {
        const char* what;
        const char* sql;
        bool result;
        bool eof;
    };
    const TCase cases[] = {
        {"select with a row", "SELECT * FROM lot WHERE id = 1", true, false},
        {"select without a row", "SELECT * FROM lot WHERE id = 99", false, true},
        {"update of a row", "UPDATE lot SET lot_count = 6 WHERE id = 1", true, false},
        {"update that changes nothing new", "UPDATE lot SET lot_count = 6 WHERE id = 1", true, false},
        {"update of no row", "UPDATE lot SET lot_count = 1 WHERE id = 99", true, true},
        {"delete of no row", "DELETE FROM lot WHERE id = 99", true, true},
        {"insert", "INSERT INTO lot (id) VALUES (2)", true, false},
        {"syntax error", "SELEC nothing FROM", false, false},
        {"unknown table", "SELECT * FROM no_such_table", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TODBCStatement s(m_odbc);
        EXPECT_EQ(s.ExecSQL(c.sql), c.result);
        EXPECT_EQ(s.Eof(), c.eof);
    }
}

TEST_P(ODBC, StartUpSettingsRowStaysSingle)
{
    // What start-up does with the settings row, three starts in a row.
    for (int start = 0; start < 3; ++start) {
        TODBCStatement s(m_odbc);
        ASSERT_TRUE(s.Exec("UPDATE settings SET reset_dadid = 0"));
        if (s.Eof()) {
            ASSERT_TRUE(s.Exec("INSERT into settings (reset_dadid) values (0)"));
        }
        EXPECT_EQ(Count("settings"), 1) << "start " << start;
    }
}

TEST_P(ODBC, ExecLogsTheFailedTextAndTheDiagnostics)
{
    EXPECT_FALSE(Exec("SELECT * FROM lot WHERE id = 99"));
    EXPECT_FALSE(Exec("SELECT nonsense FROM lot"));
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u) << ReadFile(LogFile());
    EXPECT_EQ(lines[0], "SELECT nonsense FROM lot");
    EXPECT_NE(lines[1].find(". State:  "), std::string::npos) << lines[1];

    // A format that does not fit its arguments fails the statement, not the caller.
    TODBCStatement s(m_odbc);
    EXPECT_FALSE(s.ExecFmt("SELECT * FROM lot WHERE id = %d", "x"));
}

TEST_P(ODBC, ReadsColumnsByNameWithTheirDefaults)
{
    ASSERT_TRUE(Exec("INSERT INTO card (number, type_id, first_name, start_dt, exp_iry, debit_left) "
                     "VALUES (12345, 7, '  O''Neil  ', {ts '2024-03-05 07:08:09'}, NULL, -3)"));
    ASSERT_TRUE(Exec("INSERT INTO a_l_range (id, start_time, end_time) VALUES (1, '22:00:00', NULL)"));
    ASSERT_TRUE(Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ({d '2024-12-25'}, 2)"));
    ASSERT_TRUE(Exec("INSERT INTO device (id, open_pulse) VALUES (1, 2.75)"));

    TODBCStatement card(m_odbc);
    ASSERT_TRUE(card.ExecFmt("SELECT * FROM card WHERE number = %f", 12345.0));
    EXPECT_EQ(card.AsString("first_name"), "O'Neil");
    EXPECT_EQ(card.AsString("LAST_NAME"), "");
    EXPECT_EQ(card.AsInteger("Type_Id"), 7);
    EXPECT_EQ(card.AsInteger("debit_left"), -3);
    EXPECT_DOUBLE_EQ(card.AsFloat("number"), 12345.0);
    EXPECT_FALSE(card.AsBool("date_set"));
    EXPECT_DOUBLE_EQ(card.AsDateTime("start_dt"),
                     platform::EncodeDate(2024, 3, 5) + platform::EncodeTime(7, 8, 9));
    EXPECT_EQ(card.AsDateTime("exp_iry"), 0.0) << "NULL date-time";
    EXPECT_EQ(card.AsString("no_such"), "");
    EXPECT_EQ(card.AsInteger("no_such"), 0);
    const auto today = platform::LocalNow();
    EXPECT_EQ(card.AsDateTime("no_such"), platform::EncodeDate(today.Year, today.Month, today.Day));
    EXPECT_EQ(card.AsDateTime("first_name"), platform::EncodeDate(today.Year, today.Month, today.Day))
        << "a text column is no date";
    EXPECT_FALSE(card.Next());

    TODBCStatement range(m_odbc);
    ASSERT_TRUE(range.Exec("SELECT * FROM a_l_range"));
    EXPECT_DOUBLE_EQ(range.AsDateTime("start_time"), platform::EncodeTime(22, 0, 0));
    EXPECT_EQ(range.AsDateTime("end_time"), 0.0);

    TODBCStatement holiday(m_odbc);
    ASSERT_TRUE(holiday.Exec("SELECT * FROM holiday"));
    EXPECT_EQ(holiday.AsDateTime("holi_day"), platform::EncodeDate(2024, 12, 25));

    TODBCStatement device(m_odbc);
    ASSERT_TRUE(device.Exec("SELECT * FROM device WHERE id = 1"));
    EXPECT_EQ(std::trunc(device.AsFloat("open_pulse")), 2.0);
    // NULL reads as empty text, 0 and false.
    EXPECT_EQ(device.AsString("ptr_paper"), "");
    EXPECT_EQ(device.AsInteger("ptr_paper"), 0);
    EXPECT_FALSE(device.AsBool("ptr_paper"));
}

TEST_P(ODBC, WalksEveryRowAndReusesTheStatement)
{
    for (int i = 1; i <= 5; ++i)
        ASSERT_TRUE(Exec("INSERT INTO counters (id, lot_id) VALUES (" + std::to_string(i) + ", " +
                         std::to_string(i * 10) + ")"));
    TODBCStatement s(m_odbc);
    int sum = 0;
    int rows = 0;
    for (bool more = s.Exec("SELECT * FROM counters ORDER BY id"); more; more = s.Next()) {
        sum += s.AsInteger("lot_id");
        ++rows;
    }
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(sum, 150);
    ASSERT_TRUE(s.Exec("SELECT lot_id FROM counters WHERE id = 3"));
    EXPECT_EQ(s.AsInteger("lot_id"), 30);
    EXPECT_EQ(s.Columns().size(), 1u);
}

TEST_P(ODBC, StoresTextWithQuotesAndBackslashesIntact)
{
    db::TSql sql(m_odbc.Kind());
    const std::string name = "O'Neil \\ C:\\temp\\'; DROP TABLE card; --";
    sql.AddFloat("number", 4711);
    sql.AddField("first_name", name, true);
    ASSERT_TRUE(Exec(sql.BuildInsert("INSERT INTO card", "Values", "")));
    TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT * FROM card WHERE number = 4711.00"));
    EXPECT_EQ(s.AsString("first_name"), name);
    EXPECT_EQ(Count("card"), 1);
}

TEST_P(ODBC, ListColumnsNamesEveryColumnWhateverTheCase)
{
    for (const char* table : {"DEVICE", "device", "Device"}) {
        SCOPED_TRACE(table);
        TODBCStatement s(m_odbc);
        const std::string list = s.ListColumns(table);
        EXPECT_EQ(list.rfind("ID,LOOP_ID,LOT_ID,ADDR_ESS,NAME,", 0), 0u) << list;
        EXPECT_NE(list.find(",PTR_STAT2"), std::string::npos);
    }
    TODBCStatement s(m_odbc);
    EXPECT_EQ(s.ListColumns("no_such_table"), "");
}

TEST_P(ODBC, KindComesFromTheDriverAndTheServerSaysWhichItIs)
{
    EXPECT_EQ(m_odbc.Kind(), GetParam() == TDbFamily::MariaDB ? db::dkMySql : db::dkSQLite);
    EXPECT_EQ(m_odbc.Dialect().JoinedDecision, GetParam() == TDbFamily::MariaDB);
    EXPECT_FALSE(m_odbc.IsDead());
    // A MariaDB server bounds a decision's lock wait; only a cluster node waits for the cluster.
    EXPECT_EQ(m_odbc.LockingPrefix(),
              GetParam() == TDbFamily::MariaDB ? "SET STATEMENT innodb_lock_wait_timeout = 5 FOR " : "");
    EXPECT_FALSE(m_odbc.IsClusterNode());
}

TEST_P(ODBC, DisconnectLeavesStatementsFailingNotDangling)
{
    TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT COUNT(*) AS n FROM lot"));
    m_odbc.Disconnect();
    EXPECT_FALSE(m_odbc.Connected);
    EXPECT_FALSE(s.Exec("SELECT COUNT(*) AS n FROM lot"));
    EXPECT_EQ(s.AsString("n"), "");
    ASSERT_TRUE(m_db->Connect(m_odbc));
    TODBCStatement again(m_odbc);
    EXPECT_TRUE(again.Exec("SELECT COUNT(*) AS n FROM lot"));
}

INSTANTIATE_TEST_SUITE_P(Databases, ODBC, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);

TEST(ODBCText, DetectKindRecognisesTheFamilies)
{
    struct TCase {
        const char* text;
        db::TDbKind kind;
    };
    const TCase cases[] = {
        {"MySQL ODBC 3.51 Driver", db::dkMySql},
        {"MariaDB", db::dkMySql},
        {"DRIVER={MariaDB Unicode};SERVER=x", db::dkMySql},
        {"SQLite3", db::dkSQLite},
        {"SQL Server", db::dkOther},  // no hit: the current kind stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(db::DetectKind(c.text, db::dkOther), c.kind);
    }
}

TEST(ODBCText, ConnectionStringsAreBuiltPairByPair)
{
    struct TCase {
        const char* what;
        db::TDbKind kind;
        std::string dsn, user, password, driver, database, options, dsnOption;
        std::string expected;
    };
    const TCase cases[] = {
        {"service defaults", db::dkMySql, "", "svcuser", "pelmox", "MySQL ODBC 3.51 Driver", "gtw",
         "SERVER=127.0.0.1;database=gtw", "",
         "DRIVER={MySQL ODBC 3.51 Driver};Database=gtw;UID=svcuser;PWD=pelmox;SERVER=127.0.0.1;database=gtw;OPTION=2;"
         "CONN_TIMEOUT=3;READ_TIMEOUT=5;WRITE_TIMEOUT=5"},
        {"site option bits and time-outs kept", db::dkMySql, "", "u", "", "MariaDB", "",
         "SERVER=h;Option = 16;read_timeout=30", "",
         "DRIVER={MariaDB};UID=u;SERVER=h;Option =18;read_timeout=30;CONN_TIMEOUT=3;WRITE_TIMEOUT=5"},
        {"data source option merged", db::dkMySql, "site", "", "", "MariaDB", "", "", "8",
         "DSN=site;DRIVER={MariaDB};OPTION=10;CONN_TIMEOUT=3;READ_TIMEOUT=5;WRITE_TIMEOUT=5"},
        {"no empty pairs", db::dkSQLite, "", "", "", "SQLite3", "", "", "", "DRIVER={SQLite3}"},
        {"a braced password holding pairs of its own stays whole", db::dkMySql, "", "u", "x;OPTION=0;READ_TIMEOUT=1",
         "MariaDB", "", "SERVER=h", "",
         "DRIVER={MariaDB};UID=u;PWD={x;OPTION=0;READ_TIMEOUT=1};SERVER=h;OPTION=2;CONN_TIMEOUT=3;READ_TIMEOUT=5;"
         "WRITE_TIMEOUT=5"},
        {"values that need braces", db::dkSQLite, "", " u", "p;a{b}c=", "SQLite3", "/tmp/a;b.db", "", "",
         "DRIVER={SQLite3};Database={/tmp/a;b.db};UID={ u};PWD={p;a{b}}c=}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(db::ConnectionString(c.kind, c.dsn, c.user, c.password, c.driver, c.database, c.options,
                                       c.dsnOption),
                  c.expected);
    }
}

TEST(ODBCText, FileDsnGivesItsOdbcSection)
{
    TTempDir dir;
    testing_support::WriteFile(dir / "site.dsn", "[ODBC]\r\nDRIVER=SQLite3 Driver\r\nDatabase=/x.db\r\n\r\n"
                                                 "[Other]\r\nA=B\r\n");
    EXPECT_EQ(db::ConnectionString(db::dkSQLite, dir / "site.dsn", "u", "", "Ignored", "gtw", "", ""),
              "DRIVER={SQLite3 Driver};Database=/x.db;UID=u");
}

TEST(ODBCText, LostConnectionStatesAndMessages)
{
    struct TCase {
        const char* state;
        const char* message;
        bool lost;
    };
    const TCase cases[] = {
        {"08S01", "Communication link failure", true},
        {"08001", "", true},
        {"08007", "", true},
        {"08008", "", false},
        {"HY000", "Unable to complete network request to host \"db\"", true},
        {"HY000", "Lost connection to server during query", true},
        {"HY000", "MySQL server has gone away", true},
        {"42S02", "Table doesn't exist", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(db::IsLostConnection(c.state, c.message), c.lost);
    }
}

TEST(ODBCText, ColumnKindsFromSqlTypes)
{
    EXPECT_EQ(db::ColKindOf(SQL_VARCHAR), db::ckString);
    EXPECT_EQ(db::ColKindOf(SQL_VARBINARY), db::ckString);
    EXPECT_EQ(db::ColKindOf(SQL_BIGINT), db::ckInteger);
    EXPECT_EQ(db::ColKindOf(SQL_DECIMAL), db::ckFloat);
    EXPECT_EQ(db::ColKindOf(SQL_BIT), db::ckBoolean);
    EXPECT_EQ(db::ColKindOf(SQL_TYPE_DATE), db::ckDate);
    EXPECT_EQ(db::ColKindOf(10), db::ckTime);
    EXPECT_EQ(db::ColKindOf(9), db::ckDateTime);
    EXPECT_EQ(db::ColKindOf(11), db::ckDateTime);
    EXPECT_EQ(db::ColKindOf(SQL_LONGVARCHAR), db::ckMemo);
    EXPECT_EQ(db::ColKindOf(SQL_BINARY), db::ckUnknown);
}

TEST(ODBCMariaDB, SelectIntoReturnsTrueWithoutFetching)
{
    TTestDatabase tdb(TDbFamily::MariaDB);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    TODBC odbc;
    ASSERT_TRUE(tdb.Connect(odbc));
    TODBCStatement s(odbc);
    EXPECT_TRUE(s.Exec("SELECT 42 INTO @answer"));
    EXPECT_FALSE(s.Eof());
    ASSERT_TRUE(s.Exec("SELECT @answer AS answer"));
    EXPECT_EQ(s.AsInteger("answer"), 42);
}

TEST_P(ODBC, NowAndCurdateEscapesGiveTheLocalClock)
{
    const auto before = platform::LocalNow();
    ASSERT_TRUE(Exec("INSERT INTO trans (dat_e, device_id) VALUES ({fn now()}, 1)"));
    TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT dat_e FROM trans WHERE device_id = 1"));
    const double stored = s.AsDateTime("dat_e");
    const double now = platform::EncodeDateTime(before);
    EXPECT_LT(std::fabs(stored - now) * 86400.0, 5.0) << "stored " << stored << " now " << now;

    ASSERT_TRUE(Exec("INSERT INTO holiday (holi_day, tab_num) VALUES ({fn curdate()}, 9)"));
    ASSERT_TRUE(s.Exec("SELECT holi_day FROM holiday WHERE tab_num = 9"));
    const auto today = platform::LocalNow();
    EXPECT_EQ(s.AsDateTime("holi_day"), platform::EncodeDate(today.Year, today.Month, today.Day));
}

TEST(ODBCSQLite, FileDsnConnectsThroughItsOdbcSection)
{
    TTestDatabase tdb(TDbFamily::SQLite);
    ASSERT_TRUE(tdb.Ready()) << tdb.Problem();
    TTempDir dir;
    testing_support::WriteFile(dir / "site.dsn", "[ODBC]\nDRIVER=SQLite3\nDatabase=" + tdb.Params().Database + "\n");
    TODBC odbc;
    odbc.BindColumns = true;
    ASSERT_TRUE(odbc.Connect(dir / "site.dsn", "", "", "Unused Driver", "", "", false));
    EXPECT_NE(odbc.ConnectString.find(tdb.Params().Database), std::string::npos) << odbc.ConnectString;
    TODBCStatement s(odbc);
    EXPECT_TRUE(s.Exec("CREATE TABLE x (a integer)"));
}

TEST_P(ODBC, LongTextColumnsAreReadWhole)
{
    ASSERT_TRUE(Exec("CREATE TABLE notes (id int, body text)"));
    std::string body;
    for (int i = 0; i < 600; ++i)
        body += "line " + std::to_string(i) + " ";
    ASSERT_TRUE(Exec("INSERT INTO notes VALUES (1, '  " + body + "  ')"));
    ASSERT_TRUE(Exec("INSERT INTO notes VALUES (2, NULL)"));
    TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT * FROM notes ORDER BY id"));
    if (GetParam() == TDbFamily::MariaDB) {
        EXPECT_EQ(s.Columns()[1].Kind, db::ckMemo);  // SQLite reports text as a sized string
    }
    EXPECT_EQ(s.AsString("body"), config::TrimText(body));
    ASSERT_TRUE(s.Next());
    EXPECT_EQ(s.AsString("body"), "");
}
