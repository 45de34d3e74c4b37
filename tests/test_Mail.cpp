// Mail notices against the loopback SMTP recorder of the test servers.
#include "config/MessLog.hpp"
#include "config/Scrambler.hpp"
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

// The recorder's login ports: STARTTLS on the next port, TLS from the first
// byte on the one after, both under a self-signed certificate for 127.0.0.1.
TEST(Mail, SecureConnectionsLogInOrFailAsTheSettingsRequire)
{
    using mail::TMailTls;
    const std::string cert = testing_support::Env("VELIX_SMTP_CERT");
    ASSERT_FALSE(cert.empty()) << "VELIX_SMTP_CERT is not set: the SMTP recorder is not running";
    const int plain = testing_support::SmtpPort(), startTls = plain + 1, tls = plain + 2;
    struct TCase {
        const char* name;
        int port;
        TMailTls tls;
        const char* pass;  // nullptr: no login
        bool verify;
        std::string caFile;
        const char* failure;  // nullptr: sent; else a piece of the failure's text
    };
    const TCase cases[] = {
        {"starttls-login", startTls, TMailTls::StartTls, "gate-secret", false, "", nullptr},
        {"starttls-trusted", startTls, TMailTls::StartTls, "gate-secret", true, cert, nullptr},
        {"tls-trusted", tls, TMailTls::Tls, "gate-secret", true, cert, nullptr},
        {"starttls-not-offered", plain, TMailTls::StartTls, nullptr, false, "", "STARTTLS"},
        {"wrong-password", startTls, TMailTls::StartTls, "guess", false, "", "Login denied"},
        {"self-signed-checked", tls, TMailTls::Tls, "gate-secret", true, "", "certificate"},
        {"self-signed-starttls", startTls, TMailTls::StartTls, "gate-secret", true, "", "certificate"},
        {"login-required", startTls, TMailTls::StartTls, nullptr, false, "", "530"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string to = UniqueRecipient(c.name);
        auto notice = Notice(c.port, to);
        notice.Security.Tls = c.tls;
        notice.Security.User = c.pass ? "gate" : "";
        notice.Security.Pass = c.pass ? c.pass : "";
        notice.Security.Verify = c.verify;
        notice.Security.CaFile = c.caFile;
        const std::string result = mail::MailMessage(notice);
        if (!c.failure) {
            EXPECT_EQ(result, "Sent");
            EXPECT_EQ(MailsTo(to).size(), 1u);
        } else {
            EXPECT_NE(result.find(c.failure), std::string::npos) << result;
            EXPECT_TRUE(MailsTo(to, 1, 0ms).empty());
        }
    }
}

TEST(Mail, SecuritySettingsAreReadFromTheProductKey)
{
    testing_support::TTempDir dir;
    const auto stored = config::Scramble("Mail;Pass 7");
    ASSERT_TRUE(stored);
    const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n";
    struct TCase {
        std::string values;
        mail::TMailTls tls;
        bool verify;
        const char* problem;
    };
    const TCase cases[] = {
        {"", mail::TMailTls::None, true, nullptr},
        {"\"EmailSecurity\"=\" StartTLS \"\r\n\"EmailUser\"=\"gate\"\r\n\"EmailPass\"=\"" + *stored + "\"\r\n",
         mail::TMailTls::StartTls, true, nullptr},
        {"\"EmailSecurity\"=\"tls\"\r\n\"EmailVerify\"=dword:00000000\r\n", mail::TMailTls::Tls, false, nullptr},
        {"\"EmailSecurity\"=\"ssl\"\r\n", mail::TMailTls::None, true, "EmailSecurity \"ssl\" is not none, starttls or tls"},
        {"\"EmailUser\"=\"gate\"\r\n", mail::TMailTls::None, true, "in plain text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.values);
        testing_support::WriteFile(dir / "r.reg", head + c.values);
        const auto s = mail::ReadMailSecurity(dir / "r.reg");
        EXPECT_EQ(s.Tls, c.tls);
        EXPECT_EQ(s.Verify, c.verify);
        if (c.problem)
            EXPECT_NE(s.Problem.find(c.problem), std::string::npos) << s.Problem;
        else
            EXPECT_EQ(s.Problem, "");
    }
    testing_support::WriteFile(dir / "r.reg", head + cases[1].values);
    EXPECT_EQ(mail::ReadMailSecurity(dir / "r.reg").Pass, "Mail;Pass 7");

    // A setting that cannot be followed sends nothing and says why.
    const std::string to = UniqueRecipient("problem");
    auto notice = Notice(testing_support::SmtpPort(), to);
    notice.Security.Problem = "EmailSecurity \"ssl\" is not none, starttls or tls";
    EXPECT_EQ(mail::MailMessage(notice), notice.Security.Problem);
    EXPECT_TRUE(MailsTo(to, 1, 0ms).empty());
}
