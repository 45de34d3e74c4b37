#pragma once

#include "config/ConnParams.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace db {

class TODBC;

// What a connection string has MariaDB Connector/ODBC 3.1 check of the
// server's certificate, as tried on loopback: SSLCA or SSLCAPATH alone checks
// the chain but not the host name; SSLVERIFY set checks both, against the
// system's store when no SSLCA is given. The driver reads SSLVERIFY as a
// number, so "yes" or "true" leave it off.
enum class TCertificateCheck { None, Chain, ChainAndHost };
TCertificateCheck CertificateCheckOf(std::string_view connectionString);
const char* ToText(TCertificateCheck check) noexcept;

// One connection's TLS as the server's session status shows it.
struct TSessionTls {
    enum class TState {
        Unknown,    // not a MySQL-family server, or the status could not be read
        Clear,
        Encrypted,
        LocalFile,  // an SQLite file of this computer: nothing crosses a network
    };
    TState State = TState::Unknown;
    std::string Version;  // Ssl_version, "TLSv1.3"
    std::string Cipher;   // Ssl_cipher
    TCertificateCheck Certificate = TCertificateCheck::None;
};

// The options with what the mode asks of the driver, for MySQL-family
// drivers (others get them as they are): required adds FORCETLS=1, which
// makes the driver ask for TLS without a CA but does not make it refuse a
// server without TLS; verified also sets SSLVERIFY=1, in place of any value
// the site gave.
std::string TlsOptions(config::TDatabaseTls mode, const std::string& driver, std::string options);

// Asks the server for the session's Ssl_version and Ssl_cipher: one round
// trip on a MySQL-family connection, none on others. Never throws.
TSessionTls ReadSessionTls(TODBC& odbc) noexcept;

// Why a session cannot be used under the mode; nullopt when it can.
std::optional<std::string> TlsRefusal(config::TDatabaseTls mode, const TSessionTls& tls);

// "TLSv1.3, TLS_AES_256_GCM_SHA384, certificate and host name verified".
std::string DescribeTls(const TSessionTls& tls);
// For velixcard_database_tls: 0 clear (or unknown), 1 encrypted, 2 encrypted
// with the certificate and host name verified.
int TlsLevel(const TSessionTls& tls) noexcept;

// Whether a database host names this computer: a loopback address,
// "localhost", or the host name (with or without its domain).
bool IsThisComputer(std::string_view host, std::string_view hostName);

} // namespace db
