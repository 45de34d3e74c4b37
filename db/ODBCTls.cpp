#include "db/ODBCTls.hpp"

#include "config/Format.hpp"
#include "db/ODBC.hpp"

#include <cctype>

namespace db {
namespace {

// A driver option read the way the driver reads it (atoi): leading digits,
// and 0 when there are none.
long DriverNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && value < 1000000; ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

bool IsLoopbackV4(std::string_view host)
{
    if (host.substr(0, 4) != "127.")
        return false;
    int dots = 0;
    for (const char c : host) {
        if (c == '.')
            ++dots;
        else if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return dots == 3;
}

std::string ShortName(const std::string& name)
{
    return name.substr(0, name.find('.'));
}

} // namespace

TCertificateCheck CertificateCheckOf(std::string_view connectionString)
{
    if (const auto verify = ConnectionPairValue(connectionString, "SSLVERIFY"); verify && DriverNumber(*verify) != 0)
        return TCertificateCheck::ChainAndHost;
    for (const char* key : {"SSLCA", "SSLCAPATH"})
        if (const auto authority = ConnectionPairValue(connectionString, key); authority && !authority->empty())
            return TCertificateCheck::Chain;
    return TCertificateCheck::None;
}

const char* ToText(TCertificateCheck check) noexcept
{
    switch (check) {
    case TCertificateCheck::None: return "certificate not checked";
    case TCertificateCheck::Chain: return "certificate chain checked, host name not";
    case TCertificateCheck::ChainAndHost: return "certificate and host name verified";
    }
    return "";
}

std::string TlsOptions(config::TDatabaseTls mode, const std::string& driver, std::string options)
{
    if ((mode != config::TDatabaseTls::Required && mode != config::TDatabaseTls::Verified) ||
        DetectKind(driver, dkOther) != dkMySql)
        return options;
    options = WithConnectionPair(std::move(options), "FORCETLS", "1");
    if (mode == config::TDatabaseTls::Verified)
        options = WithConnectionPair(std::move(options), "SSLVERIFY", "1");
    return options;
}

TSessionTls ReadSessionTls(TODBC& odbc) noexcept
{
    TSessionTls tls;
    try {
        if (odbc.Kind() == dkSQLite) {
            tls.State = TSessionTls::TState::LocalFile;
            return tls;
        }
        if (odbc.Kind() != dkMySql)
            return tls;
        tls.Certificate = CertificateCheckOf(odbc.ConnectString);
        TODBCStatement s(odbc);
        // SHOW rather than information_schema, which MySQL 8 no longer gives
        // the session's status; only a SELECT comes positioned on its first
        // row, so the rows are fetched from the start.
        if (!s.ExecSQL("SHOW SESSION STATUS WHERE Variable_name IN ('Ssl_version', 'Ssl_cipher')"))
            return tls;
        for (bool more = s.Next(); more; more = s.Next()) {
            const std::string name = config::LowerCase(s.AsString("Variable_name"));
            if (name == "ssl_version")
                tls.Version = s.AsString("Value");
            else if (name == "ssl_cipher")
                tls.Cipher = s.AsString("Value");
        }
        tls.State = tls.Cipher.empty() ? TSessionTls::TState::Clear : TSessionTls::TState::Encrypted;
    } catch (...) {
        tls.State = TSessionTls::TState::Unknown;
    }
    return tls;
}

std::optional<std::string> TlsRefusal(config::TDatabaseTls mode, const TSessionTls& tls)
{
    using TState = TSessionTls::TState;
    if (mode == config::TDatabaseTls::Off || tls.State == TState::LocalFile)
        return std::nullopt;
    if (mode == config::TDatabaseTls::Unknown)
        return "DatabaseTLS is not off, required or verified";
    if (tls.State == TState::Unknown)
        return "the server's session status does not tell whether the session is encrypted (it is read from "
               "MySQL-family servers only)";
    if (tls.State == TState::Clear)
        return "the session is not encrypted (the server shows no Ssl_cipher)";
    if (mode == config::TDatabaseTls::Verified && tls.Certificate != TCertificateCheck::ChainAndHost)
        return "the driver was not asked to verify the certificate and host name (SSLVERIFY)";
    return std::nullopt;
}

std::string DescribeTls(const TSessionTls& tls)
{
    switch (tls.State) {
    case TSessionTls::TState::Encrypted: return tls.Version + ", " + tls.Cipher + ", " + ToText(tls.Certificate);
    case TSessionTls::TState::Clear: return "not encrypted";
    case TSessionTls::TState::LocalFile: return "a local file (TLS does not apply)";
    case TSessionTls::TState::Unknown: break;
    }
    return "unknown (the server's session status was not read)";
}

int TlsLevel(const TSessionTls& tls) noexcept
{
    if (tls.State != TSessionTls::TState::Encrypted)
        return 0;
    return tls.Certificate == TCertificateCheck::ChainAndHost ? 2 : 1;
}

bool IsThisComputer(std::string_view host, std::string_view hostName)
{
    const std::string h = config::LowerCase(config::TrimText(host));
    if (h == "localhost" || h == "localhost.localdomain" || h == "::1" || IsLoopbackV4(h))
        return true;
    const std::string me = config::LowerCase(config::TrimText(hostName));
    if (me.empty() || h.empty())
        return false;
    // "gatepc" and "gatepc.site.example" name one computer; two full names must agree.
    const bool eitherShort = h.find('.') == std::string::npos || me.find('.') == std::string::npos;
    return h == me || (eitherShort && ShortName(h) == ShortName(me));
}

} // namespace db
