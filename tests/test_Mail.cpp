// Mail notices against the loopback SMTP recorder of the test servers.
#include "config/MessLog.hpp"
#include "mail/MailSender.hpp"

#include "TestMail.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using testing_support::MailsTo;
using testing_support::UniqueRecipient;

namespace {

mail::TMail Notice(int port, const std::string& to, const std::string& body = "Card: 12345, Name: Ann, Device: Entry")
{
    return {.Server = "127.0.0.1", .Port = port, .From = "gate@site.test", .Recipients = to, .Subject = "Card Event",
            .Body = body};
}

// The message's lines after the envelope.
std::vector<std::string> Lines(const std::string& stored)
{
    return testing_support::SplitLines(stored);
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace

TEST(Mail, RecipientListsSplitOnCommasAndBlanksKeepingQuotedItems)
{
    struct TCase {
        const char* list;
        std::vector<std::string> items;
    };
    const TCase cases[] = {
        {"a@x.test, b@x.test", {"a@x.test", "b@x.test"}},
        {"a@x.test b@x.test,,c@x.test", {"a@x.test", "b@x.test", "c@x.test"}},
        {"\"Ann Lee <ann@x.test>\", b@x.test", {"Ann Lee <ann@x.test>", "b@x.test"}},
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {" , ,  ,", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        EXPECT_EQ(mail::SplitRecipients(c.list), c.items);
    }
    EXPECT_EQ(mail::EnvelopeAddress("Ann Lee <ann@x.test>"), "ann@x.test");
}

TEST(Mail, OneMessageReachesEveryRecipientWithTheHeadersAsked)
{
    const std::string a = UniqueRecipient("a"), b = UniqueRecipient("b");
    EXPECT_EQ(mail::MailMessage(Notice(testing_support::SmtpPort(), a + ", " + b)), "Sent");
    const auto got = MailsTo(a);
    ASSERT_EQ(got.size(), 1u);
    const auto lines = Lines(got[0]);
    EXPECT_TRUE(Has(lines, "X-Envelope-From: gate@site.test"));
    EXPECT_TRUE(Has(lines, "X-Envelope-To: " + b)) << "one message for both";
    EXPECT_TRUE(Has(lines, "From: \"Automated Systems\" <gate@site.test>"));
    EXPECT_TRUE(Has(lines, "Reply-To: gate@site.test"));
    EXPECT_TRUE(Has(lines, "To: " + a + ", " + b));
    EXPECT_TRUE(Has(lines, "Subject: Card Event"));
    EXPECT_EQ(lines.back(), "Card: 12345, Name: Ann, Device: Entry");
}

TEST(Mail, LineBreaksInTheTextNeverAddHeadersOrEndTheMessage)
{
    const std::string to = UniqueRecipient("breaks");
    const std::string evil = UniqueRecipient("evil");
    const std::string body = "Card: 1, Name: Ann\r\nBcc: " + evil + "\r\n.\r\nMAIL FROM:<x@y>\r\nRCPT TO:<" + evil +
                             ">\r\nDATA\r\nX, Device: Gate\n.\nend";
    auto notice = Notice(testing_support::SmtpPort(), to, body);
    notice.Subject = "Card Event\r\nBcc: " + evil;
    EXPECT_EQ(mail::MailMessage(notice), "Sent");
    const auto got = MailsTo(to);
    ASSERT_EQ(got.size(), 1u);
    const auto lines = Lines(got[0]);
    const auto blank = std::find(lines.begin(), lines.end(), "");
    ASSERT_NE(blank, lines.end());
    EXPECT_EQ(lines.end() - blank, 2) << "a single body line";
    EXPECT_EQ(std::count_if(lines.begin(), blank, [](const std::string& l) { return l.rfind("Bcc:", 0) == 0; }), 0);
    EXPECT_TRUE(MailsTo(evil, 1, 0ms).empty()) << "no second message smuggled in";
}

TEST(Mail, EmptyListsContactNobodyAndFailuresComeBackAsText)
{
    // Nothing listens on the refusing port: "No one to send to!" proves it was never tried.
    const int refusing = testing_support::RefusingPort();
    EXPECT_EQ(mail::MailMessage(Notice(refusing, "")), "No one to send to!");
    EXPECT_EQ(mail::MailMessage(Notice(refusing, " ,, , ")), "No one to send to!");
    const std::string refused = mail::MailMessage(Notice(refusing, "a@x.test"));
    EXPECT_NE(refused, "Sent");
    EXPECT_FALSE(refused.empty());

    testing_support::THungServer hung;
    const auto start = std::chrono::steady_clock::now();
    const std::string timedOut = mail::MailMessage(Notice(hung.Port(), "a@x.test"), {.Connect = 500ms, .Conversation = 1s});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << timedOut;
    EXPECT_NE(timedOut, "Sent");
}

TEST(Mail, SenderQueueIsBoundedAndShutdownDoesNotWaitForAHungServer)
{
    testing_support::TTempDir dir;
    config::TMessLog log(dir / "mail.log", {.NoHeader = true}, "");
    testing_support::THungServer hung;
    const auto start = std::chrono::steady_clock::now();
    {
        mail::TMailSender sender(log, {.Capacity = 1, .Limits = {.Connect = 5s, .Conversation = 60s},
                                       .ShutdownWait = 300ms});
        EXPECT_TRUE(sender.Post(Notice(hung.Port(), "first@x.test")));
        ASSERT_TRUE(testing_support::WaitFor([&] { return sender.Queued() == 0; }, 5s));
        // The first is in the hands of the hung server; one more fits the queue.
        EXPECT_TRUE(sender.Post(Notice(hung.Port(), "second@x.test")));
        EXPECT_FALSE(sender.Post(Notice(hung.Port(), "third@x.test")));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << "the 60 s conversation was cut short";
    log.Log("");
    const std::string text = testing_support::ReadFile(dir / "mail.log");
    EXPECT_NE(text.find("Mail queue full, notice to third@x.test dropped"), std::string::npos) << text;
    EXPECT_NE(text.find("Mail: 2 notice(s) not sent at shutdown"), std::string::npos) << text;
}
