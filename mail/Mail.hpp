#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// One plain-text notice.
struct TMail {
    std::string Server;
    int Port = 25;
    std::string From;
    std::string Recipients;  // comma or blank separated; "..." keeps an item whole
    std::string Subject;
    std::string Body;        // one line
};

struct TMailLimits {
    std::chrono::milliseconds Connect{5000};
    std::chrono::milliseconds Conversation{10000};  // the whole exchange, connect included
};

// The items of a recipient list: separated by commas or blanks, an item in
// double quotes kept whole (quotes removed, a doubled quote stands for one).
std::vector<std::string> SplitRecipients(std::string_view list);
// The address to give the server for an item: the part in <...> when there is one.
std::string EnvelopeAddress(std::string_view item);
// Header and body as sent. Line breaks and other control characters in any
// field become blanks, so no text can add a header or end the message early.
std::string BuildMessage(const TMail& mail, std::string_view date);

// Sends one message over a plain SMTP connection without authentication.
// Returns "Sent", "No one to send to!" (nothing contacted) or the error's
// text. Blocks for at most limits.Conversation; abort, when given, is asked
// now and then and ends the exchange when it returns true. Never throws.
std::string MailMessage(const TMail& mail, const TMailLimits& limits = {},
                        const std::function<bool()>& abort = {}) noexcept;

} // namespace mail
