#include "db/Sql.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>

using db::TSql;
using testing_support::At;

TEST(Sql, RendersUpdateAndInsertExamples)
{
    TSql update(db::dkMySql);
    update.AddInt("date_set", 1);
    update.AddDateTime("start_dt", At(2024, 3, 5, 7, 8, 9));
    update.AddField("name", "O'Neil", true);
    EXPECT_EQ(update.BuildUpdate("UPDATE card", "WHERE number = 1234"),
              "UPDATE card set date_set=1, start_dt={ts '2024-03-05 07:08:09'}, name='O''Neil' WHERE number = 1234");

    TSql insert(db::dkMySql);
    insert.AddFloat("card_no", 123456);
    insert.AddDateTime("dat_e", At(2024, 3, 5, 7, 8, 9));
    insert.AddInt("device_id", 7);
    insert.AddField("error_desc", "Valid", true);
    insert.AddBool("mem_flag", false);
    EXPECT_EQ(insert.BuildInsert("INSERT INTO trans", "Values", ""),
              "INSERT INTO trans (card_no, dat_e, device_id, error_desc, mem_flag) Values "
              "(123456, {ts '2024-03-05 07:08:09'}, 7, 'Valid', 0)");
    EXPECT_EQ(insert.BuildSql("trans", true, ""),
              "insert into trans (card_no, dat_e, device_id, error_desc, mem_flag) Values "
              "(123456, {ts '2024-03-05 07:08:09'}, 7, 'Valid', 0)");
}

TEST(Sql, RendersValuesByTheirRules)
{
    struct TCase {
        const char* what;
        db::TDbKind kind;
        std::function<void(TSql&)> fill;
        const char* update;
    };
    const TCase cases[] = {
        {"empty unquoted is null", db::dkMySql, [](TSql& s) { s.AddField("a", "", false); }, "u set a=null"},
        {"blank unquoted is null", db::dkMySql, [](TSql& s) { s.AddField("a", " \t", false); }, "u set a=null"},
        {"empty quoted is two quotes", db::dkMySql, [](TSql& s) { s.AddField("a", "", true); }, "u set a=''"},
        {"quoted values are trimmed", db::dkMySql, [](TSql& s) { s.AddField("a", "  abc \r\n", true); },
         "u set a='abc'"},
        {"mysql doubles backslashes", db::dkMySql, [](TSql& s) { s.AddField("a", "C:\\x", true); },
         "u set a='C:\\\\x'"},
        {"SQLite keeps backslashes", db::dkSQLite, [](TSql& s) { s.AddField("a", "C:\\x", true); },
         "u set a='C:\\x'"},
        {"quote and backslash together", db::dkMySql, [](TSql& s) { s.AddField("a", "\\'", true); },
         "u set a='\\\\'''"},
        {"integer zero is not null", db::dkMySql, [](TSql& s) { s.AddInt("a", 0); }, "u set a=0"},
        {"negative integer", db::dkMySql, [](TSql& s) { s.AddInt("a", -17); }, "u set a=-17"},
        {"float half", db::dkMySql, [](TSql& s) { s.AddFloat("a", 0.5); }, "u set a=0.5"},
        {"now", db::dkSQLite, [](TSql& s) { s.AddNow("a"); }, "u set a={fn now()}"},
        {"name with space", db::dkMySql, [](TSql& s) { s.AddInt("first name", 1); }, "u set \"first name\"=1"},
        {"name with hyphen", db::dkMySql, [](TSql& s) { s.AddInt("x-y", 1); }, "u set \"x-y\"=1"},
        {"already quoted name", db::dkMySql, [](TSql& s) { s.AddInt("\"a b\"", 1); }, "u set \"a b\"=1"},
        {"first value of a column wins", db::dkMySql,
         [](TSql& s) {
             s.AddInt("Card_No", 1);
             s.AddInt("card_no", 2);
         },
         "u set card_no=1"},
        {"SetField replaces in place", db::dkMySql,
         [](TSql& s) {
             s.AddInt("Card_No", 1);
             s.AddInt("b", 2);
             s.SetField("CARD_NO", "x", true);
         },
         "u set card_no='x', b=2"},
        {"SetInt adds an absent column", db::dkMySql, [](TSql& s) { s.SetInt("n", 5, false); }, "u set n=5"},
        {"duplicates when allowed", db::dkMySql,
         [](TSql& s) {
             s.Clear(true);
             s.AddInt("a", 1);
             s.AddInt("a", 2);
         },
         "u set a=1, a=2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TSql sql(c.kind);
        c.fill(sql);
        EXPECT_EQ(sql.BuildUpdate("u", ""), c.update);
    }
}

TEST(Sql, ClearEmptiesTheBuilderForTheNextStatement)
{
    TSql sql(db::dkMySql);
    sql.AddInt("a", 1);
    sql.Clear(false);
    EXPECT_EQ(sql.IndexOfField("a"), -1);
    sql.AddInt("b", 2);
    EXPECT_EQ(sql.BuildSql("device", false, "WHERE id = 3"), "update device set b=2 WHERE id = 3");
}
