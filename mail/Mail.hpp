#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// How the connection to the mail server is protected, and the login.
enum class TMailTls {
    None,      // plain SMTP
    StartTls,  // STARTTLS required: no mail when the server does not offer it
    Tls,       // TLS from the first byte (usually port 465)
};

struct TMailSecurity {
    TMailTls Tls = TMailTls::None;
    std::string User;    // no login when empty
    std::string Pass;
    bool Verify = true;  // the server's certificate and name are checked
    std::string CaFile;  // certificates to trust instead of the system's
    // Set when the settings cannot be followed: no mail is sent, and this is
    // the failure's text (a password is never sent in a way no one asked for).
    std::string Problem;
};

// The mail settings of the product key (EmailSecurity, EmailUser, EmailPass
// scrambled like Pass, EmailVerify, EmailCAFile); read only.
TMailSecurity ReadMailSecurity(std::string registryFile = std::string());

// One plain-text notice.
struct TMail {
    std::string Server;
    int Port = 25;
    std::string From;
    std::string Recipients;  // comma or blank separated; "..." keeps an item whole
    std::string Subject;
    std::string Body;        // one line
    TMailSecurity Security{};
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

// Sends one message, over TLS and with a login as mail.Security asks. Returns "Sent", "No one to send to!" (nothing contacted) or the error's
// text. Blocks for at most limits.Conversation; abort, when given, is asked
// now and then and ends the exchange when it returns true. Never throws.
std::string MailMessage(const TMail& mail, const TMailLimits& limits = {},
                        const std::function<bool()>& abort = {}) noexcept;

} // namespace mail
