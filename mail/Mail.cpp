#include "mail/Mail.hpp"

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/RegistryEx.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

namespace mail {
namespace {

constexpr const char* kSenderName = "Automated Systems";

// Control characters (CR and LF above all) become blanks.
std::string OneLine(std::string_view text)
{
    std::string out(text);
    for (auto& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

bool IsSeparator(char c)
{
    return c == ',' || static_cast<unsigned char>(c) <= ' ';
}

// RFC 5322 date of now, in local time with its offset.
std::string DateHeader()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[64];
    // Month and day names in English whatever the locale: the C locale is never changed.
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &local);
    return buf;
}

struct TUpload {
    std::string_view Rest;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* user)
{
    auto* upload = static_cast<TUpload*>(user);
    const size_t n = std::min(size * count, upload->Rest.size());
    std::memcpy(buffer, upload->Rest.data(), n);
    upload->Rest.remove_prefix(n);
    return n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* abort = static_cast<const std::function<bool()>*>(user);
    return (*abort && (*abort)()) ? 1 : 0;
}

void InitCurlOnce()
{
    // Process-wide set-up that libcurl wants before any thread uses it.
    static const bool done = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)done;
}

std::string ServerUrl(const std::string& server, int port, TMailTls tls)
{
    const bool ipv6 = server.find(':') != std::string::npos && server.front() != '[';
    const char* scheme = tls == TMailTls::Tls ? "smtps://" : "smtp://";
    return scheme + (ipv6 ? "[" + server + "]" : server) + ":" + std::to_string(port);
}

void SetSecurity(CURL* c, const TMailSecurity& security)
{
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, security.Tls == TMailTls::Tls ? "smtps" : "smtp");
    // CURLUSESSL_ALL: a server that does not offer STARTTLS gets no mail.
    curl_easy_setopt(c, CURLOPT_USE_SSL,
                     static_cast<long>(security.Tls == TMailTls::StartTls ? CURLUSESSL_ALL : CURLUSESSL_NONE));
    if (security.Tls != TMailTls::None) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, security.Verify ? 1L : 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, security.Verify ? 2L : 0L);
        if (!security.CaFile.empty())
            curl_easy_setopt(c, CURLOPT_CAINFO, security.CaFile.c_str());
    }
    if (!security.User.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, security.User.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, security.Pass.c_str());
    }
}

struct TCurlDeleter {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct TListDeleter {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

} // namespace

TMailSecurity ReadMailSecurity(std::string registryFile)
{
    config::TRegistryEx reg(config::kProductKey, std::move(registryFile));
    reg.ReadOnly = true;
    TMailSecurity s;
    const std::string tls = config::LowerCase(config::TrimText(reg.GetStringDef("EmailSecurity", "none")));
    if (tls == "starttls")
        s.Tls = TMailTls::StartTls;
    else if (tls == "tls")
        s.Tls = TMailTls::Tls;
    else if (tls != "none" && !tls.empty())
        s.Problem = "EmailSecurity \"" + tls + "\" is not none, starttls or tls";
    s.User = reg.GetStringDef("EmailUser", "");
    s.Pass = reg.GetScrambled("EmailPass");
    s.Verify = reg.GetIntegerDef("EmailVerify", 1) != 0;
    s.CaFile = config::TrimText(reg.GetStringDef("EmailCAFile", ""));
    if (s.Problem.empty() && !s.User.empty() && s.Tls == TMailTls::None)
        s.Problem = "EmailUser is set but EmailSecurity is none: the password would cross the network in plain text";
    return s;
}

std::vector<std::string> SplitRecipients(std::string_view list)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && IsSeparator(list[i]))
            ++i;
        if (i >= list.size())
            break;
        std::string item;
        if (list[i] == '"') {
            for (++i; i < list.size(); ++i) {
                if (list[i] == '"') {
                    if (i + 1 < list.size() && list[i + 1] == '"') {
                        item += '"';
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += list[i];
            }
        } else {
            while (i < list.size() && !IsSeparator(list[i]))
                item += list[i++];
        }
        if (!config::TrimText(item).empty())
            out.push_back(item);
    }
    return out;
}

std::string EnvelopeAddress(std::string_view item)
{
    const auto open = item.rfind('<');
    const auto close = item.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        return config::TrimText(item.substr(open + 1, close - open - 1));
    return config::TrimText(item);
}

std::string BuildMessage(const TMail& mail, std::string_view date)
{
    std::string to;
    for (const auto& r : SplitRecipients(mail.Recipients))
        to += (to.empty() ? "" : ", ") + OneLine(r);
    const std::string from = OneLine(mail.From);
    std::string out;
    out += "Date: " + OneLine(date) + "\r\n";
    out += "From: \"" + std::string(kSenderName) + "\" <" + from + ">\r\n";
    out += "Reply-To: " + from + "\r\n";
    out += "To: " + to + "\r\n";
    out += "Subject: " + OneLine(mail.Subject) + "\r\n";
    out += "X-Priority: 3 (Normal)\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Transfer-Encoding: 8bit\r\n";
    out += "\r\n";
    if (!mail.Body.empty())
        out += OneLine(mail.Body) + "\r\n";
    return out;
}

std::string MailMessage(const TMail& mail, const TMailLimits& limits, const std::function<bool()>& abort) noexcept
{
    try {
        const auto recipients = SplitRecipients(mail.Recipients);
        if (recipients.empty())
            return "No one to send to!";
        if (!mail.Security.Problem.empty())
            return mail.Security.Problem;
        InitCurlOnce();
        std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
        if (!curl)
            return "The mail library could not be started";
        std::unique_ptr<curl_slist, TListDeleter> rcpt;
        for (const auto& r : recipients) {
            curl_slist* next = curl_slist_append(rcpt.get(), ("<" + OneLine(EnvelopeAddress(r)) + ">").c_str());
            if (!next)
                return "Out of memory";
            rcpt.release();
            rcpt.reset(next);
        }
        const std::string message = BuildMessage(mail, DateHeader());
        TUpload upload{message};
        char error[CURL_ERROR_SIZE] = {};
        CURL* c = curl.get();
        curl_easy_setopt(c, CURLOPT_URL,
                         ServerUrl(OneLine(config::TrimText(mail.Server)), mail.Port, mail.Security.Tls).c_str());
        SetSecurity(c, mail.Security);
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, ("<" + OneLine(EnvelopeAddress(mail.From)) + ">").c_str());
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpt.get());
        curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &upload);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.Connect.count()));
        curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.Conversation.count()));
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, &abort);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        const CURLcode rc = curl_easy_perform(c);
        if (rc == CURLE_OK)
            return "Sent";
        return error[0] ? std::string(error) : std::string(curl_easy_strerror(rc));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

} // namespace mail
