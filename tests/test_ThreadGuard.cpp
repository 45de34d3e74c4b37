// The service's long-lived threads under their guard: a body that throws is
// logged with its reason and runs again; one that keeps failing shows on
// /healthz; the process goes on.
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/OfflineCopy.hpp"
#include "mail/MailSender.hpp"
#include "platform/ThreadGuard.hpp"
#include "service/StatusServer.hpp"

#include "TestDb.hpp"
#include "TestMail.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testing_support::TDbFamily;
using testing_support::WaitFor;

namespace {

class ThreadGuard : public testing_support::TSiteTest {
protected:
    bool Logged(const std::string& text)
    {
        const auto lines = LogLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
};

} // namespace

TEST_P(ThreadGuard, ThreadsWhoseBodiesThrowAreLoggedAndStartAgain)
{
    ASSERT_TRUE(Exec("INSERT INTO messages (id, accepted) VALUES (1, 'Hello')"));
    // The copy fails at every start until it has been seen failing, the
    // replay and the mailer once each.
    platform::InjectThreadFaults("offline copy", platform::kFailuresShown);
    platform::InjectThreadFaults("journal replay", 1);
    platform::InjectThreadFaults("mail sender", 1);
    db::TJournal journal(m_dir / "offline/journal.db", 100, *m_log);
    ASSERT_TRUE(journal.Append("gatepc", 1, {"UPDATE messages SET accepted = 'Replayed' WHERE id = 1"}));
    db::TJournalReplay replay(journal, m_db->ConnParams(), *m_log);
    replay.Start();
    mail::TMailSender mailer(*m_log, {});
    mailer.Post({.Server = "127.0.0.1", .Port = testing_support::RefusingPort(), .From = "a@b", .Recipients = "c@d",
                 .Subject = "Card Event", .Body = "x", .Security = {}});
    ASSERT_TRUE(WaitFor([&] { return Logged("Journal replay ended: 1 applied"); }, 15s)) << testing_support::ReadFile(LogFile());
    EXPECT_TRUE(Logged("The journal replay thread failed (fault injected into journal replay); it starts again"));
    ASSERT_TRUE(WaitFor([&] { return Logged("Mail to c@d via 127.0.0.1 not sent: "); }, 15s));
    EXPECT_TRUE(Logged("The mail sender thread failed (fault injected into mail sender); it starts again"));

    {
        db::TOfflineCopy copy(config::TOfflineParams{.Decisions = true}, m_dir / "offline/copy.db", "1 = 1", *m_log);
        copy.Start(m_db->ConnParams(), &journal);
        ASSERT_TRUE(WaitFor([&] { return service::Health().second.find("the offline copy thread keeps failing") !=
                                         std::string::npos; },
                            15s))
            << service::Health().second;
        ASSERT_TRUE(WaitFor([&] { return Logged("Offline copy rebuilt (") || Logged("Offline copy refreshed: "); }, 15s))
            << testing_support::ReadFile(LogFile());
    }
    EXPECT_EQ(service::Health().second.find("keeps failing"), std::string::npos) << "a body that ends well clears it";
}

INSTANTIATE_TEST_SUITE_P(Databases, ThreadGuard, ::testing::Values(TDbFamily::SQLite), testing_support::FamilyName);
