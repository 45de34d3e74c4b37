// Barcode exits, spitter issue records and printer status of a loop, on
// MariaDB and SQLite.
#include "config/Format.hpp"
#include "loop/Tickets.hpp"

#include "TestLoop.hpp"

#include <gtest/gtest.h>

#include <optional>

#include <algorithm>

using testing_support::At;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

const platform::TDateTime kNow = At(2026, 6, 15, 12, 0);
constexpr double kMinute = 1.0 / 1440;

// The barcode of a ticket issued at a time of 2026 in a lane: ten characters
// (two-year form), or twelve (seconds since 1999-12-31).
std::string Barcode(platform::TDateTime issued, int lane, int length = 10)
{
    if (length == 12)
        return config::Format("%010lld%02d", std::llround((issued - platform::EncodeDate(1999, 12, 31)) * 86400), lane);
    const auto seconds = std::llround((issued - platform::EncodeDate(2026, 1, 1)) * 86400);
    return config::Format("%08lld%02d", 20000000 + seconds, lane);
}

class Tickets : public testing_support::TLoopTest {
protected:
    std::vector<std::string> SiteRows() const override
    {
        return {
            "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 10, 100)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection) "
            "VALUES (1, 3, 1, 1, 'Spitter', 1, 1)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse) "
            "VALUES (2, 3, 1, 2, 'Exit', 2, 2, 3)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse) "
            "VALUES (3, 3, 1, 3, 'Entry', 2, 1, 4.7)",
        };
    }

    int Int(const std::string& sql) { return config::TextToInt(Value(sql), -999); }
    int SoftCount(int address) { return Int("SELECT count_soft FROM device WHERE addr_ess = " + std::to_string(address)); }

    std::string Column(db::TODBCStatement& s, const char* name)
    {
        const std::string text = s.AsString(name);
        return text.empty() ? "-" : text;
    }
    std::string When(db::TODBCStatement& s, const char* name)
    {
        return s.AsString(name).empty() ? "-" : loop::TicketTimeText(s.AsDateTime(name));
    }
    // Every tickinv row, in the order made.
    std::vector<std::string> Rows()
    {
        std::vector<std::string> out;
        db::TODBCStatement s(m_odbc);
        for (bool more = s.Exec("SELECT * FROM tickinv ORDER BY id"); more; more = s.Next())
            out.push_back(s.AsString("barcode") + " t" + Column(s, "ticket") + " i" + Column(s, "issuerid") + " k" +
                          Column(s, "takerid") + " s" + Column(s, "status") + " o" + Column(s, "online") + " y" +
                          Column(s, "security") + " in " + When(s, "in_date") + " out " + When(s, "out_date"));
        return out;
    }
    int LastPulse()
    {
        int pulse = 0;
        OnLoop([&] { pulse = Events().LastPulse(); });
        return pulse;
    }
    bool Logged(const std::string& line)
    {
        const auto lines = LogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

} // namespace

TEST_P(Tickets, ExitPassRulesAtTheirEdges)
{
    struct TCase {
        const char* what;
        int reader;
        double minutesAgo;
        int lane;
        int statusBefore;  // -1: no row yet
        bool flatRate;
        int futureGrace;
        const char* reply;
        int statusAfter;
        int length = 10;
    };
    const TCase cases[] = {
        {"15 minutes with grace 15", 2, 15, 1, -1, false, 15, "Thank you...", 2},
        {"16 minutes with grace 15", 2, 16, 1, -1, false, 15, "ExitPass Expired", 0},
        {"issued inside, known row", 2, 3, 1, 0, false, 15, "Thank you...", 2},
        {"second exit", 2, 3, 1, 2, false, 15, "ExitPass Used", 2},
        {"still inside, shown at an entry", 3, 3, 1, 0, false, 15, "Passback Error", 0},
        {"used, shown at an entry within the minute", 3, 0, 1, 2, false, 15, "Thank you...", 0},
        {"used, shown at an entry a minute later", 3, 1, 1, 2, false, 15, "ExitPass Expired", 2},
        {"10 minutes ahead, future grace 15", 2, -10, 1, -1, false, 15, "Thank you...", 2},
        {"10 minutes ahead, future grace 5", 2, -10, 1, -1, false, 5, "ExitPass Expired", 0},
        {"flat rate, lane 51", 2, 600, 51, -1, true, 15, "Thank you...", 2},
        {"flat rate, lane 50", 2, 600, 50, -1, true, 15, "ExitPass Expired", 0},
        {"flat rate off, lane 51", 2, 600, 51, -1, false, 15, "ExitPass Expired", 0},
        {"extended lane 53, 45 minutes", 2, 45, 53, -1, false, 15, "Thank you...", 2},
        {"lane 52 is not extended", 2, 45, 52, -1, false, 15, "ExitPass Expired", 0},
        // The lane closes the twelve-character form too, whatever second it was issued in.
        {"12 characters, flat rate, lane 60", 2, 601, 60, -1, true, 15, "Thank you...", 2, 12},
        {"12 characters, flat rate, lane 60, a second later", 2, 601, 60, -1, true, 15, "Thank you...", 2, 12},
        {"12 characters, extended lane 53, 45 minutes", 2, 45, 53, -1, false, 15, "Thank you...", 2, 12},
        {"12 characters, lane 52 is not extended", 2, 45, 52, -1, false, 15, "ExitPass Expired", 0, 12},
    };
    int index = 0;
    std::optional<std::pair<bool, int>> built;  // the flat rate and future grace the loop was set up with
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A few seconds apart so every case has its own barcode.
        const std::string barcode = Barcode(kNow - c.minutesAgo * kMinute - (++index) / 86400.0, c.lane, c.length);
        if (c.statusBefore >= 0) {
            ASSERT_TRUE(Exec("INSERT INTO tickinv (barcode, issuerid, takerid, status) VALUES ('" + barcode + "', 1, 0, " +
                             std::to_string(c.statusBefore) + ")"));
        }
        const int countBefore = SoftCount(c.reader);
        m_sim->ClearFrames();
        if (built != std::pair{c.flatRate, c.futureGrace}) {
            loop::TLoopSettings settings;
            settings.FlatRate = c.flatRate;
            settings.FutureGraceMinutes = c.futureGrace;
            settings.ExtendedGraceLanes = {3};
            settings.ExtendedGraceMinutes = 60;
            Rebuild({.Offline = {}, .OfflineCopy = "", .Settings = settings});
            built = {c.flatRate, c.futureGrace};
            m_sim->ClearFrames();
        }
        OnLoop([&] { Events().CheckBarcode(Events().Site(), c.reader, barcode, kNow); });
        const bool open = std::string(c.reply) == "Thank you...";
        const int pulse = c.reader == 2 ? 3 : 4;
        EXPECT_TRUE(Received(c.reader, open ? config::Format("G%.3d%s", pulse, c.reply) : std::string("B") + c.reply));
        EXPECT_TRUE(Logged(config::Format("Card1.GateOpenMsg(%d, %s, %d, %s)", c.reader, open ? "Y" : "N", pulse,
                                          c.reply)));
        EXPECT_EQ(LastPulse(), pulse);
        EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv WHERE barcode = '" + barcode + "'"), 1);
        EXPECT_EQ(Int("SELECT status FROM tickinv WHERE barcode = '" + barcode + "'"), c.statusAfter);
        if (open) {
            EXPECT_EQ(Int("SELECT takerid FROM tickinv WHERE barcode = '" + barcode + "'"), c.reader);
        }
        if (c.statusBefore < 0) {
            EXPECT_EQ(Int("SELECT issuerid FROM tickinv WHERE barcode = '" + barcode + "'"), 0)
                << "a row first made at an exit has no issuer";
        }
        EXPECT_EQ(SoftCount(c.reader), countBefore + (open ? 1 : 0));
    }
}

TEST_P(Tickets, UndecodableOrUnstorableBarcodesAreRefused)
{
    OnLoop([&] { Events().CheckBarcode(Events().Site(), 2, "923403091200", kNow); });
    EXPECT_TRUE(Received(2, "BRead ERROR;Please Re-try"));
    EXPECT_TRUE(Logged("Unknown or invalid Barcode!"));
    EXPECT_TRUE(Logged("Card1.GateOpenMsg(2, N, 5, Read ERROR;Please Re-try)"));
    EXPECT_EQ(LastPulse(), 5);
    EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv"), 0);

    // A row the database will not store: the exit pass is a system error.
    ASSERT_TRUE(Exec("DROP TABLE tickinv"));
    OnLoop([&] { Events().CheckBarcode(Events().Site(), 2, Barcode(kNow, 1), kNow); });
    EXPECT_TRUE(Received(2, "BSystem ERROR!"));
    EXPECT_EQ(LastPulse(), 3) << "the device's pulse, read after the failure";
}

TEST_P(Tickets, BarcodesFromTheWireOnlyEverTouchTheirOwnRow)
{
    const std::string known = Barcode(kNow - 5 * kMinute, 1);
    ASSERT_TRUE(Exec("INSERT INTO tickinv (barcode, issuerid, status) VALUES ('" + known + "', 1, 2)"));
    const std::vector<std::string> hostile = {"' OR '1'='1", "2000060'01", "20000600\\1", "2000060%01",
                                              "2000\\'OR 1"};
    for (const auto& barcode : hostile) {
        SCOPED_TRACE(barcode);
        m_sim->ClearFrames();
        OnLoop([&] { Events().CheckBarcode(Events().Site(), 2, barcode, kNow); });
        EXPECT_TRUE(Received(2, "BExitPass Expired")) << "judged as a new ticket, not as the used one";
    }
    std::vector<std::string> stored;
    db::TODBCStatement s(m_odbc);
    for (bool more = s.Exec("SELECT barcode FROM tickinv ORDER BY id"); more; more = s.Next())
        stored.push_back(s.AsString("barcode"));
    std::vector<std::string> expected = {known};
    expected.insert(expected.end(), hostile.begin(), hostile.end());
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(Int("SELECT status FROM tickinv WHERE id = 1"), 2);

    // An issue record with the same characters renames only its own barcode.
    OnLoop([&] { Events().RecordTicketIssue(Events().Site(), 1, "0" + hostile[1] + "000042", kNow); });
    EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv WHERE ticket = 42"), 1);
    EXPECT_EQ(Int("SELECT COUNT(*) FROM tickinv WHERE barcode LIKE '%*'"), 1);
}

TEST_P(Tickets, IssueRecordsAreStoredMovingOlderRowsAside)
{
    const platform::TDateTime issued = kNow - 15 * kMinute;
    const std::string bc = Barcode(issued, 7);
    const std::string in = loop::TicketTimeText(issued);
    const std::string other = "2000000001";
    struct TCase {
        const char* what;
        std::string before;  // a row already there, or empty
        std::string record;
        std::vector<std::string> rows;
        std::string updating;  // the "Updating:" line, or empty
    };
    const TCase cases[] = {
        {"on line", "", "0" + bc + "000123", {bc + " t123 i7 k- s0 o1 y1 in " + in + " out -"}, ""},
        {"off line, backed out", "", "3" + bc + "000123", {bc + " t123 i7 k7 s2 o0 y1 in " + in + " out " + in}, ""},
        {"ticket number 0", "", "0" + bc + "000000", {bc + " t0 i7 k- s0 o1 y1 in " + in + " out -"}, ""},
        {"reissued barcode",
         "('" + bc + "', 55, 5, 0, 2, 1)",
         "0" + bc + "000123",
         {bc + "* t55 i5 k0 s2 o- y1 in - out -", bc + " t123 i7 k- s0 o1 y1 in " + in + " out -"},
         ""},
        {"late off-line record of a ticket an exit took",
         "('" + bc + "', 0, 0, 2, 2, 0)",
         "1" + bc + "000123",
         {bc + " t123 i7 k2 s2 o0 y0 in " + in + " out -"},
         "where barcode='" + bc + "'"},
        {"on-line record of a ticket an exit took",
         "('" + bc + "', 0, 0, 2, 2, 0)",
         "0" + bc + "000123",
         {bc + "* t0 i0 k2 s2 o- y0 in - out -", bc + " t123 i7 k- s0 o1 y1 in " + in + " out -"},
         ""},
        {"reissued ticket number",
         "('" + other + "', 123, NULL, 0, 0, 0)",
         "0" + bc + "000123",
         {other + " t-123 i- k0 s0 o- y0 in - out -", bc + " t123 i7 k- s0 o1 y1 in " + in + " out -"},
         ""},
        {"late off-line record of a numbered ticket an exit took",
         "('" + other + "', 123, NULL, 4, 2, 0)",
         "1" + bc + "000123",
         {bc + " t123 i7 k4 s2 o0 y0 in " + in + " out -"},
         "where ticket=123 and issuerid is null"},
        {"record too short", "", "0" + bc + "00012", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Exec("DELETE FROM tickinv"));
        if (!c.before.empty()) {
            ASSERT_TRUE(Exec("INSERT INTO tickinv (barcode, ticket, issuerid, takerid, status, security) VALUES " +
                             c.before));
        }
        const int countBefore = SoftCount(1);
        OnLoop([&] { Events().RecordTicketIssue(Events().Site(), 1, c.record, kNow); });
        EXPECT_EQ(Rows(), c.rows);
        EXPECT_EQ(SoftCount(1), countBefore + 1) << "counted, even an invalid record";
        if (!c.updating.empty()) {
            EXPECT_TRUE(Logged("TickInv Record Found! Updating: " + c.updating));
        }
    }
    EXPECT_TRUE(Logged("Bar:" + bc + " Date:" + in + " Lane:7 Ticket:123 ... BackOut:Y OnLine:N"));
    EXPECT_TRUE(Logged("Invalid or unknown value?"));

    // A write the database refuses is not counted.
    ASSERT_TRUE(Exec("DROP TABLE tickinv"));
    const int countBefore = SoftCount(1);
    OnLoop([&] { Events().RecordTicketIssue(Events().Site(), 1, "0" + bc + "000123", kNow); });
    EXPECT_EQ(SoftCount(1), countBefore);
}

TEST_P(Tickets, PrinterStatusWordsFillTheEightColumns)
{
    struct TCase {
        const char* value;
        std::vector<int> columns;  // paper, hdwr, fail, stat, then the second printer's
        const char* logTail;
    };
    const TCase cases[] = {
        {"6", {3, 0, 0, 6, 0, 0, 0, 0}, " ... Status:paper out;low paper;"},
        {"16", {0, 1, 0, 16, 0, 0, 0, 0}, " ... Status:cover open;"},
        {"17", {0, 0, 1, 17, 0, 0, 0, 0}, " ... Status:offline;cover open;"},
        {"8", {0, 0, 0, 8, 0, 0, 0, 0}, " ... Status:Ok"},
        {"128,4", {2, 0, 0, 128, 1, 0, 0, 4}, " ... Status:paper jam; 2nd: low paper;"},
        {"4095,x", {3, 0, 0, 4095, 0, 0, 0, 0}, ""},
        {"junk", {0, 0, 0, 0, 0, 0, 0, 0}, " ... Status:Ok"},
        {"99999999999", {0, 0, 0, 0, 0, 0, 0, 0}, ""},
    };
    const char* names[] = {"ptr_paper", "ptr_hdwr", "ptr_fail", "ptr_stat",
                           "ptr_paper2", "ptr_hdwr2", "ptr_fail2", "ptr_stat2"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        ASSERT_TRUE(Exec("UPDATE device SET ptr_paper2 = 9, ptr_stat2 = 9 WHERE id = 1"));
        OnLoop([&] { Events().PrinterStatus(1, c.value); });
        db::TODBCStatement s(m_odbc);
        ASSERT_TRUE(s.Exec("SELECT * FROM device WHERE id = 1"));
        for (std::size_t i = 0; i < 8; ++i)
            EXPECT_EQ(s.AsInteger(names[i]), c.columns[i]) << names[i];
        if (*c.logTail) {
            const auto lines = LogLines();
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.rfind("PStat:", 0) == 0 && l.size() > std::strlen(c.logTail) &&
                       l.compare(l.size() - std::strlen(c.logTail), std::string::npos, c.logTail) == 0;
            }));
        }
    }
    EXPECT_EQ(Int("SELECT COUNT(*) FROM device WHERE ptr_stat = 99999999999 OR ptr_stat2 = 9"), 0)
        << "the other devices keep theirs";
}

TEST_P(Tickets, ExitTicketRoundTrips)
{
    // A ticket known to be inside, accepted at the exit: every statement is one
    // round trip; on MariaDB the ticket's row is locked first.
    const std::string barcode = Barcode(kNow - 5 * kMinute, 1);
    ASSERT_TRUE(Exec("INSERT INTO tickinv (barcode, issuerid, takerid, status) VALUES ('" + barcode + "', 1, 0, 0)"));
    std::vector<std::string> statements;
    OnLoop([&] {
        m_loop->Database().OnExec = [&](const std::string& sql) { statements.push_back(sql); };
        Events().CheckBarcode(Events().Site(), 2, barcode, kNow);
        m_loop->Database().OnExec = nullptr;
    });
    std::string all;
    for (const auto& sql : statements)
        all += sql + "\n";
    EXPECT_EQ(statements.size(), GetParam() == TDbFamily::MariaDB ? 9u : 8u) << all;
}

INSTANTIATE_TEST_SUITE_P(Databases, Tickets, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
