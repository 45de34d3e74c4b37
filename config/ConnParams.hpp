#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace config {

// DatabaseTLS: what the service demands of its site database connections.
enum class TDatabaseTls {
    Off,       // the connection string alone decides, as it always did
    Required,  // a session the server does not show as encrypted is closed
    Verified,  // as Required, and the driver checks the certificate and the host name
    Unknown,   // a value other than the three: no connection is made
};
// Letter case and blanks around it ignored; empty is Off.
TDatabaseTls ParseDatabaseTls(std::string_view text);
const char* ToText(TDatabaseTls mode) noexcept;

// The connection and global parameters of the product key, read afresh by the
// constructor; every read failure becomes the value's default. Never throws.
class TConnParams {
public:
    enum class TAccess { CreateMissingKey, ReadOnly };

    // registryFile defaults to the program's registry file. The service adds an
    // absent product key to the file; the operator commands only read.
    explicit TConnParams(std::string registryFile = std::string(), TAccess access = TAccess::CreateMissingKey);

    // ODBCOptions with %c, %h, %d, %u and %p replaced (case-sensitive, all
    // occurrences); %h is the host list as the MySQL-family driver takes it,
    // %c the folder of the service's credentials ($CREDENTIALS_DIRECTORY,
    // left as it is when that is not set).
    std::string ConnectOptions() const;
    // The hosts of Host, a comma-separated list of names with an optional
    // ":port"; what was left out is named in problems, one line each.
    std::vector<std::string> Hosts(std::vector<std::string>* problems = nullptr) const;
    TDatabaseTls TlsMode() const { return ParseDatabaseTls(DatabaseTLS); }
    // Why no connection may be made under DatabaseTLS; empty when one may.
    std::string TlsProblem() const;

    std::string DSNName;
    std::string Host;
    std::string Database;
    std::string User;
    std::string Pass;
    std::string ODBCDriver;
    std::string ODBCOptions;
    std::string DatabaseTLS;  // as the file has it; read, never written
    bool DebugLog = true;

    // Each value as read, with whether the file held it (else its default);
    // the password masked.
    struct TSource {
        std::string Name;
        std::string Shown;
        bool FromFile = false;
    };
    std::vector<TSource> Sources;
};

// A connection-string value by the ODBC rules: in braces, with "}" doubled,
// when it holds ";", "{", "}" or blanks at either end (a password may);
// as it is otherwise. BracedValue braces always (driver names).
std::string ConnectionValue(std::string_view value);
std::string BracedValue(std::string_view value);

// A host list parsed: items trimmed, empty items, bad ports left out (each
// named in problems). "[::1]:3307" is an IPv6 address with a port.
std::vector<std::string> ParseHostList(std::string_view list, std::vector<std::string>* problems);
// The host of a list item without its port.
std::string HostOfItem(std::string_view item);
// The list as the MySQL-family driver reads SERVER=: comma-separated, and a
// single item with a port ends with a comma.
std::string DriverHostList(const std::vector<std::string>& hosts);

inline constexpr const char* kProductKey = "\\Software\\Trellant\\Velix\\";

// Deciding from a local copy while the site database is away; off by default.
// Read from the product key, never written to it.
struct TOfflineParams {
    bool Decisions = false;     // OfflineDecisions
    int RefreshMinutes = 1;     // OfflineRefreshMinutes; 0 is refused (a copy never refreshed ages out of use)
    int MaxAgeHours = 24;       // OfflineMaxAgeHours: an older copy is not used
    int JournalLimit = 100000;  // OfflineJournalLimit: decisions the journal may hold
};
TOfflineParams ReadOfflineParams(std::string registryFile = std::string());

} // namespace config
