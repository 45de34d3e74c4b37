#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

// The port of the loopback SMTP recorder that the test servers run; fails the
// calling test, naming what is missing, when it is not running.
int SmtpPort();
// The messages the recorder stored with this envelope recipient, waiting up
// to deadline for at least count of them. Envelope lines first, then the message.
std::vector<std::string> MailsTo(const std::string& recipient, std::size_t count = 1,
                                 std::chrono::milliseconds deadline = std::chrono::seconds(10));
// A recipient address that no other test uses.
std::string UniqueRecipient(const std::string& name);

// A loopback port that takes connections into its backlog and never answers:
// a mail server that hangs.
class THungServer {
public:
    THungServer();
    ~THungServer();
    THungServer(const THungServer&) = delete;
    THungServer& operator=(const THungServer&) = delete;
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A loopback port on which nothing listens (connections are refused).
int RefusingPort();

} // namespace testing_support
