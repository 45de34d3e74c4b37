// The road of a card through a loop: from the simulated reader on a
// pseudo-terminal to the decision, the answer on the wire, the count and the
// mail, on MariaDB and SQLite.
#include "config/Format.hpp"
#include "db/Journal.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "db/Sql.hpp"
#include "platform/Metrics.hpp"

#include "TestLoop.hpp"
#include "TestMail.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace std::chrono_literals;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

// What a handler sends: gate opens, texts, outputs and the spitter's "Y" (the
// poll thread's acknowledgement of a card is a bare "B").
bool IsAnswer(const std::string& data)
{
    return !data.empty() && (data[0] == 'G' || (data[0] == 'B' && data.size() > 1) || data[0] == 'P' || data[0] == 'Y');
}

class CardRoad : public testing_support::TLoopTest {
protected:
    // Readers 1 (entry, lift outputs) and 2 (no direction), spitter 3. Card
    // type 1 shows message row 2, type 2 leaves it to the device.
    std::vector<std::string> SiteRows() const override
    {
        return {
            "INSERT INTO settings (reset_dadid) VALUES (0)",
            "INSERT INTO lot (id, lot_count, max_capacity) VALUES (1, 10, 100)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse, "
            "special_out) VALUES (1, 3, 1, 1, 'Entry', 0, 1, 3, 1)",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection, open_pulse, msg_id, "
            "remote_user, remote_ip) VALUES (2, 3, 1, 2, 'Side door', 0, 3, 2.9, 4, 'O''Brien', '10.1.2.3')",
            "INSERT INTO device (id, loop_id, lot_id, addr_ess, name, device_type, dir_ection) "
            "VALUES (3, 3, 1, 3, 'Spitter', 1, 1)",
            "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id) VALUES (1, 1, 1, 1, 2)",
            "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id) VALUES (2, 1, 1, 1, 0)",
            "INSERT INTO a_l_range (id, access_level_id, day_1, day_2, day_3, day_4, day_5, day_6, day_7, day_8, "
            "day_9, start_time, end_time) VALUES (1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, '00:00:00', '00:00:00')",
            "INSERT INTO a_l_range_device VALUES (1, 1)",
            "INSERT INTO a_l_range_device VALUES (1, 2)",
            "INSERT INTO card (number, type_id, first_name, space_no) VALUES (1001, 1, 'Ann', 0)",
            "INSERT INTO card (number, type_id, first_name, space_no) VALUES (1002, 2, 'Bob', 0)",
            "INSERT INTO card (number, type_id, first_name, space_no) VALUES (1003, 1, 'Cy', 7)",
            "INSERT INTO card (number, type_id, first_name, space_no) VALUES (1004, 2, '', 0)",
            "INSERT INTO messages (id, accepted, not_on_file, passback) VALUES (1, 'Hello %f', 'No card %c', 'PB')",
            "INSERT INTO messages (id, accepted, not_on_file, passback) VALUES (2, 'Welcome %f', 'x', 'Again %f')",
            "INSERT INTO messages (id, accepted) VALUES (4, 'Row four')",
        };
    }

    int Int(const std::string& sql) { return config::TextToInt(Value(sql), -999); }
    int Count(int address) { return Int("SELECT count_soft FROM device WHERE addr_ess = " + std::to_string(address)); }
    int TransRows() { return Int("SELECT COUNT(*) FROM trans"); }

    // The decision answers the address got, in order, once a marker queued
    // after the event's handler has arrived: what the handler sent came before it.
    std::vector<std::string> AnswersAfterHandling(int address)
    {
        OnLoop([&] { m_loop->Line()->SignText(address, "marker"); });
        EXPECT_TRUE(Received(address, "Lmarker"));
        std::vector<std::string> out;
        for (const auto& f : m_sim->Frames())
            if (f.Address == address && IsAnswer(f.Data))
                out.push_back(f.Data);
        return out;
    }

    // The reader's card reply; waits until the handler has logged it.
    void Present(int address, char type, const std::string& data)
    {
        const std::string line = std::string(type == 'M' ? "Got MemoryData event!  - " : "Got CardData event!  - ") +
                                 std::to_string(address) + " - |" + data + "|";
        const auto lines = LogLines();
        const auto before = std::count(lines.begin(), lines.end(), line);
        m_sim->Present(address, type, data);
        EXPECT_TRUE(WaitFor(
            [&] {
                const auto lines = LogLines();
                return std::count(lines.begin(), lines.end(), line) > before;
            },
            5s))
            << "no event for " << data;
    }

    bool Logged(const std::string& line)
    {
        const auto lines = LogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // Makes the loop's database unreachable from now on.
    void CutDatabase()
    {
        OnLoop([&] {
            m_loop->Connection().CloseConnection();
            m_loop->Connection().Driver = "NoSuchDriver";
            m_loop->Connection().DSN.clear();
        });
    }
};

} // namespace

TEST_P(CardRoad, CardsAreAnsweredCountedAndBooked)
{
    struct TCase {
        const char* what;
        std::vector<std::string> setup;
        int address;
        std::string card;
        std::vector<std::string> answers;
        int counted;
        std::string logLine;  // a line the case logs, or empty
    };
    const TCase cases[] = {
        {"accepted with its type's message", {}, 1, "1001", {"G003Welcome Ann"}, 1,
         "Card Allowed, Loop Id 3 address 1, Card 1001"},
        {"not on file shows the number", {}, 1, "4242", {"BNo card 4242"}, 0, ""},
        {"card data that is no number", {}, 1, "12AB", {"BNo card 0"}, 0, ""},
        {"type without message: the device's row 4", {}, 2, "1002", {"G002Row four"}, 1, ""},
        {"device row 4 missing: row 1", {"DELETE FROM messages WHERE id = 4"}, 2, "1002", {"G002Hello Bob"}, 1, ""},
        {"soft passback opens with the passback text",
         {"UPDATE settings SET soft_pb = 1", "UPDATE card_type SET ignore_passback = 0",
          "UPDATE card SET in_lot = 1 WHERE number = 1001"},
         1, "1001", {"G003Again Ann"}, 1, "Card Allowed, Loop Id 3 address 1, Card 1001"},
        {"hard passback refuses",
         {"UPDATE settings SET soft_pb = 0", "UPDATE card SET in_lot = 1 WHERE number = 1001"},
         1, "1001", {"BAgain Ann"}, 0, ""},
        {"lift to floor 2: no opening, output 3 pulsed",
         {"UPDATE card_type SET ignore_passback = 1", "INSERT INTO spots (number, floor) VALUES (7, 2)"},
         1, "1003", {"BGoing Up!", "PB30"}, 1, "'Special' output 2 going On!"},
        {"lift to floor 5 opens the gate", {"UPDATE spots SET floor = 5"}, 1, "1003", {"G003Going Up!"}, 1, ""},
        {"floor 0 is no lift", {"UPDATE spots SET floor = 0"}, 1, "1003", {"G003Welcome Cy"}, 1,
         "'Special' output 0 invalid"},
        {"space without a spot", {"DELETE FROM spots"}, 1, "1003", {"G003Welcome Cy"}, 1,
         "'Special' output.  7 NOT Found in Spots file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& sql : c.setup)
            ASSERT_TRUE(Exec(sql)) << sql;
        const int count = Count(c.address), rows = TransRows();
        m_sim->ClearFrames();
        Present(c.address, 'C', c.card);
        EXPECT_EQ(AnswersAfterHandling(c.address), c.answers);
        EXPECT_EQ(Count(c.address), count + c.counted);
        EXPECT_EQ(TransRows(), rows + 1);
        if (!c.logLine.empty()) {
            EXPECT_TRUE(Logged(c.logLine));
        }
    }
    int lastPulse = 0;
    OnLoop([&] { lastPulse = Events().LastPulse(); });
    EXPECT_EQ(lastPulse, 3) << "the pulse of the last live card";
}

// A reader that answers after its window: its card reply reaches the line
// while the next address is polled. It is nobody's reply there: no event, no
// acknowledgement, no gate; the card presented in time is decided for its reader.
TEST_P(CardRoad, AReplyAfterItsWindowOpensNoOtherReadersGate)
{
    m_sim->SetLate(1, true);
    m_sim->Present(1, 'C', "1002");
    ASSERT_TRUE(WaitFor([&] { return !m_sim->RepliesSent().empty(); }, 5s));
    m_sim->SetLate(1, false);
    Present(1, 'C', "1001");
    EXPECT_TRUE(AnswersAfterHandling(2).empty());
    EXPECT_TRUE(Commands(2, 'B').empty()) << "the late card was acknowledged to reader 2";
    EXPECT_FALSE(Logged("Got CardData event!  - 2 - |1002|"));
    EXPECT_EQ(AnswersAfterHandling(1), std::vector<std::string>{"G003Welcome Ann"});
    const auto lines = LogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.starts_with("Reply from address 1 during the poll of address ") && l.ends_with(" ignored");
    }));
    EXPECT_GE(platform::Metrics().Value("velixcard_foreign_replies_total", {{"loop", "3"}, {"address", "1"}}), 1);
}

TEST_P(CardRoad, MemoryRecordsAreBookedWithoutAnAnswer)
{
    const auto now = platform::LocalNow();
    const std::string stamp =
        config::Format("%.2d%.2d%.2d%.2d%.2d", now.Year % 100, now.Month, now.Day, now.Hour, now.Minute);
    struct TCase {
        std::string record;
        int counted;
        int errorCode;
    };
    const TCase cases[] = {{stamp + "1001", 1, 0}, {stamp + "4242", 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        const int count = Count(2), rows = TransRows();
        m_sim->ClearFrames();
        Present(2, 'M', c.record);
        EXPECT_TRUE(AnswersAfterHandling(2).empty());
        EXPECT_EQ(Count(2), count + c.counted);
        EXPECT_EQ(TransRows(), rows + 1);
        EXPECT_EQ(Int("SELECT mem_flag FROM trans ORDER BY id DESC"), 1);
        EXPECT_EQ(Int("SELECT error_code FROM trans ORDER BY id DESC"), c.errorCode);
    }
    EXPECT_TRUE(Logged("Memory Card Success, Loop Id 3 address 2, Card 1001"));
}

TEST_P(CardRoad, UnreachableDatabaseOpensOnlyWithLowSecurity)
{
    CutDatabase();
    m_sim->ClearFrames();
    Present(1, 'C', "1001");
    EXPECT_TRUE(AnswersAfterHandling(1).empty()) << "without low security the card gets no answer";

    // With it, the gates open with the pulse of the last live card.
    loop::TLoopSettings settings;
    settings.LowSecurity = true;
    Rebuild({.Offline = {}, .OfflineCopy = "", .Settings = settings});
    ASSERT_TRUE(Exec("UPDATE device SET open_pulse = 6 WHERE id = 1"));
    Present(1, 'C', "1001");
    ASSERT_TRUE(Received(1, "G006Welcome Ann"));
    const int rows = TransRows(), counts = Count(1) + Count(2) + Count(3);
    CutDatabase();
    m_sim->ClearFrames();
    Present(1, 'C', "1001");
    EXPECT_EQ(AnswersAfterHandling(1), std::vector<std::string>{"G006Thank you..."});
    EXPECT_TRUE(Logged("Cannot connect to DB!  Card Allowed, Loop Id 3 address 1, Card 1001"));

    // A spitter is acknowledged first, then opened like any reader.
    m_sim->ClearFrames();
    Present(3, 'C', "01234567890000123");
    EXPECT_EQ(AnswersAfterHandling(3), (std::vector<std::string>{"Y", "G006Thank you..."}));

    m_sim->ClearFrames();
    Present(2, 'M', "26010112001001");
    EXPECT_EQ(AnswersAfterHandling(2), std::vector<std::string>{"G006Thank you..."});

    // Low security is for card data only: a barcode reader gets nothing.
    m_sim->ClearFrames();
    m_sim->Present(2, '#', "2000060001");
    EXPECT_TRUE(WaitFor([&] { return Logged("Got BarcodeEvent event!  - 2 - |2000060001|"); }, 5s));
    EXPECT_TRUE(AnswersAfterHandling(2).empty());
    EXPECT_EQ(TransRows(), rows) << "nothing is written while the database is down";
    EXPECT_EQ(Count(1) + Count(2) + Count(3), counts) << "nor counted";
}

TEST_P(CardRoad, WithoutAUsableCopyOrRoomInTheJournalTheCardMeetsLowSecurity)
{
    const std::string copyPath = m_dir / "offline/copy.db";
    const config::TOfflineParams params{.Decisions = true, .MaxAgeHours = 1};
    const std::string loops = "loop_id IN (" + std::to_string(kLoopId) + ")";
    ASSERT_TRUE(db::TOfflineCopy(params, copyPath, loops, *m_log).Refresh(m_odbc));
    db::TJournal journal(m_dir / "offline/journal.db", 100, *m_log);
    db::TJournal fullJournal(m_dir / "offline/full.db", 1, *m_log);
    ASSERT_TRUE(fullJournal.Append("gatepc", platform::NowDateTime(), {"UPDATE lot SET lot_count = 0"}));
    loop::TLoopSettings lowSecurity;
    lowSecurity.LowSecurity = true;
    ASSERT_TRUE(Exec("UPDATE device SET open_pulse = 6 WHERE id = 2"));
    const struct {
        const char* what;
        std::function<void()> spoil;  // the copy file as the case leaves it
        bool fullJournal;
        std::vector<std::string> answers;
        std::string logged;
    } cases[] = {
        {"usable", [] {}, false, {"G003Welcome Ann"}, "Offline decision: card 1001 at address 1, Accepted"},
        {"too old",
         [&] {
             db::TODBC edit;
             ASSERT_TRUE(db::ConnectLocalFile(edit, copyPath, db::TLocalFile::Copy));
             db::TODBCStatement e(edit);
             ASSERT_TRUE(e.Exec("UPDATE velix_copy SET read_at = " +
                                db::DateTimeEscape(platform::NowDateTime() - platform::Minutes(90))));
         },
         false, {"G006Thank you..."}, "No offline decisions: the offline copy is 1.5 hours old (at most 1)"},
        {"broken", [&] { testing_support::WriteFile(copyPath, "not a database at all"); }, false,
         {"G006Thank you..."}, "No offline decisions: no offline copy"},
        {"journal full", [&] { ASSERT_TRUE(db::TOfflineCopy(params, copyPath, loops, *m_log).Refresh(m_odbc)); }, true,
         {"G006Thank you..."}, "No offline decisions: the offline journal is full"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        db::TOfflineCopy copy(params, copyPath, loops, *m_log);  // reads the file as the case left it
        Rebuild({.Offline = {.Copy = &copy, .Journal = c.fullJournal ? &fullJournal : &journal, .Computer = ""},
                 .OfflineCopy = "",
                 .Settings = lowSecurity});
        Present(2, 'C', "1002");  // a live card of pulse 6
        ASSERT_TRUE(Received(2, "G006Row four"));
        CutDatabase();
        m_sim->ClearFrames();
        const auto depth = journal.Depth();
        Present(1, 'C', "1001");
        EXPECT_EQ(AnswersAfterHandling(1), c.answers);
        EXPECT_TRUE(Logged(c.logged)) << testing_support::ReadFile(LogFile());
        EXPECT_EQ(journal.Depth() > depth, c.answers.front() != "G006Thank you...") << "journalled only when decided";
        Rebuild({});  // the loop lets go of the case's copy
    }
}

TEST_P(CardRoad, CardWhoseSessionWasKilledIsDecidedAgainAndBookedOnce)
{
    if (GetParam() != TDbFamily::MariaDB)
        GTEST_SKIP() << "a session another program can end";
    Present(1, 'C', "1001");  // the connection has just answered: the next card trusts it
    ASSERT_TRUE(Received(1, "G003Welcome Ann"));
    int session = 0;
    OnLoop([&] {
        db::TODBCStatement s(m_loop->Database());
        session = s.Exec("SELECT CONNECTION_ID() AS id") ? s.AsInteger("id") : 0;
    });
    ASSERT_TRUE(Exec("KILL " + std::to_string(session)));
    const int rows = TransRows();
    m_sim->ClearFrames();
    Present(1, 'C', "1001");
    EXPECT_TRUE(Received(1, "G003Welcome Ann"));
    EXPECT_TRUE(Logged("Card 1001: the connection was lost before the decision was committed; it is decided again"));
    EXPECT_EQ(TransRows(), rows + 1);
}

TEST_P(CardRoad, ManualOpenBooksItsOwnRow)
{
    OnLoop([&] { Events().ManualOpen(2, 4); });
    EXPECT_TRUE(Received(2, "G004Manual Open"));
    EXPECT_TRUE(Logged("Manual open Loop Id 3 address 2"));
    db::TODBCStatement s(m_odbc);
    ASSERT_TRUE(s.Exec("SELECT * FROM trans"));
    EXPECT_EQ(s.AsInteger("device_id"), 2);
    EXPECT_EQ(s.AsInteger("error_code"), 999);
    EXPECT_EQ(s.AsString("error_desc"), "Manual Open");
    EXPECT_EQ(s.AsFloat("cardno"), 9999999);
    EXPECT_EQ(s.AsString("card_no"), "");
    EXPECT_EQ(s.AsString("device_name"), "Side door");
    EXPECT_EQ(s.AsString("first_name"), "O'Brien");
    EXPECT_EQ(s.AsString("last_name"), "IP:10.1.2.3");
    EXPECT_LT(platform::SecondsBetween(s.AsDateTime("dat_e"), platform::NowDateTime()), 60);
}

TEST_P(CardRoad, AcceptedCardsAreMailedWithoutHoldingTheGates)
{
    const std::string to = testing_support::UniqueRecipient("cards");
    loop::TLoopSettings mail;
    mail.EmailServer = "127.0.0.1";
    mail.EmailPort = testing_support::SmtpPort();
    mail.EmailFrom = "gate@site.test";
    mail.EmailTo = to;
    const auto mailVia = [&](int port, mail::TMailSecurity security) {
        mail.EmailPort = port;
        mail.EmailSecurity = security;
        Rebuild({.Offline = {}, .OfflineCopy = "", .Settings = mail});
    };
    Rebuild({.Offline = {}, .OfflineCopy = "", .Settings = mail});
    Present(2, 'C', "1004");
    EXPECT_TRUE(Received(2, "G002Row four"));
    const auto mails = testing_support::MailsTo(to);
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].find("\r\n\r\nCard: 1004, Name: , Device: Side door\r\n"), std::string::npos) << mails[0];
    EXPECT_TRUE(Logged("Sending email to: " + to + " Server: 127.0.0.1 Port: " +
                       std::to_string(testing_support::SmtpPort())));
    Present(1, 'C', "4242");
    EXPECT_EQ(testing_support::MailsTo(to, 2, 0s).size(), 1u) << "a refused card is not mailed";

    // A server that refuses: the gate opens and the card counts all the same.
    mailVia(testing_support::RefusingPort(), {});
    const int count = Count(2);
    m_sim->ClearFrames();
    Present(2, 'C', "1002");
    EXPECT_TRUE(Received(2, "G002Row four"));
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto lines = LogLines();
            return std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& l) { return l.rfind("Mail to " + to + " via 127.0.0.1 not sent: ", 0) == 0; });
        },
        10s));
    // Counted after the mail was handed over, maybe after it failed.
    EXPECT_TRUE(WaitFor([&] { return Count(2) == count + 1; }, 5s));
    EXPECT_FALSE(Logged("Exception in MailMessage()"));

    // A login the server refuses is the mail's failure, not the card's.
    mailVia(testing_support::SmtpPort() + 1, {.Tls = mail::TMailTls::StartTls, .User = "gate", .Pass = "guess",
                                              .Verify = false, .CaFile = "", .Problem = ""});
    m_sim->ClearFrames();
    Present(2, 'C', "1002");
    EXPECT_TRUE(Received(2, "G002Row four"));
    EXPECT_TRUE(WaitFor(
        [&] {
            const auto lines = LogLines();
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.rfind("Mail to " + to + " via 127.0.0.1 not sent: Login denied", 0) == 0;
            });
        },
        10s));

    // A server that never answers holds up no other reader of the loop.
    testing_support::THungServer hung;
    mailVia(hung.Port(), {});
    Present(2, 'C', "1002");
    const auto start = std::chrono::steady_clock::now();
    m_sim->ClearFrames();
    Present(1, 'C', "1001");
    EXPECT_TRUE(Received(1, "G003Welcome Ann"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "answered in its normal time";
}

TEST_P(CardRoad, HostileTextIsStoredAsItIs)
{
    const std::vector<std::string> hostile = {"O'Brien", "back\\slash", "100%", "two\nlines", "' OR '1'='1",
                                              "\\'; DROP TABLE trans; --"};
    const db::TSql quoting(m_odbc.Kind());
    auto literal = [&](const std::string& text) { return "'" + quoting.EscapeText(text) + "'"; };
    for (const auto& h : hostile) {
        SCOPED_TRACE(h);
        ASSERT_TRUE(Exec("UPDATE card SET first_name = " + literal(h) + ", last_name = " + literal(h) +
                         " WHERE number = 1001"));
        ASSERT_TRUE(Exec("UPDATE device SET name = " + literal(h) + ", remote_user = " + literal(h) +
                         ", remote_ip = " + literal(h) + " WHERE id = 2"));
        const int rows = TransRows();
        Present(2, 'C', "1001");
        OnLoop([&] { Events().ManualOpen(2, 1); });
        ASSERT_EQ(TransRows(), rows + 2);
        db::TODBCStatement s(m_odbc);
        ASSERT_TRUE(s.Exec("SELECT * FROM trans ORDER BY id DESC"));
        EXPECT_EQ(s.AsString("device_name"), h) << "manual open";
        EXPECT_EQ(s.AsString("first_name"), h);
        EXPECT_EQ(s.AsString("last_name"), "IP:" + h);
        ASSERT_TRUE(s.Next());
        EXPECT_EQ(s.AsString("device_name"), h) << "card";
        EXPECT_EQ(s.AsString("first_name"), h);
        EXPECT_EQ(s.AsString("last_name"), h);
    }
}

TEST_P(CardRoad, RoundTripsPerDecisionKind)
{
    // A group of ten with room, and a pathway that leads from the side door to the entry.
    for (const char* sql : {
             "INSERT INTO card_pool (id, cur_inlot, max_inlot) VALUES (9, 1, 10)",
             "INSERT INTO card_type (id, access_level_id, no_expiry_flg, ignore_passback, msg_id, pathway_id) "
             "VALUES (3, 1, 1, 1, 2, 1)",
             "INSERT INTO pathway_ft (pathway_id, from_device, to_device, time_limit) VALUES (1, 2, 1, 600)",
         })
        ASSERT_TRUE(Exec(sql)) << sql;
    ASSERT_TRUE(Exec("INSERT INTO card (number, type_id, first_name, group_id, in_gate, space_no, trans_dt) VALUES "
                     "(1005, 3, 'Di', 9, 2, 0, " + db::DateTimeEscape(platform::NowDateTime()) + ")"));
    // Every statement is one round trip. The gate command follows the commit:
    // the device text's row is read inside the decision. On MariaDB the
    // decision first locks the rows it may change (one round trip more): a
    // second computer deciding the same card waits for it.
    struct TCase {
        const char* what;
        int reader;
        const char* card;
        std::size_t mariaDbToGate;  // all rows in one joined query
        std::size_t sqliteToGate;   // one statement per row
    };
    const TCase cases[] = {
        {"plain accepted card", 1, "1001", 6, 11},
        {"refused card (not on file)", 1, "4242", 5, 8},
        {"group and pathway card", 1, "1005", 7, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> statements;
        OnLoop([&] {
            m_loop->Database().OnExec = [&](const std::string& sql) { statements.push_back(sql); };
            Events().CardEvent(Events().Site(), c.reader, c.card);
            m_loop->Database().OnExec = nullptr;
        });
        std::string all;
        for (const auto& sql : statements)
            all += sql + "\n";
        const auto commit = std::find(statements.begin(), statements.end(), "COMMIT");
        ASSERT_NE(commit, statements.end()) << all;
        const auto toGate = static_cast<std::size_t>(commit - statements.begin()) + 1;
        EXPECT_EQ(toGate, GetParam() == TDbFamily::MariaDB ? c.mariaDbToGate : c.sqliteToGate) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(Databases, CardRoad, ::testing::Values(TDbFamily::MariaDB, TDbFamily::SQLite),
                         testing_support::FamilyName);
