#include "config/ConnParams.hpp"

#include "config/Format.hpp"
#include "config/RegistryEx.hpp"

#include <cstdlib>

namespace config {
namespace {

void ReplaceAll(std::string& text, std::string_view what, std::string_view with)
{
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + with.size()))
        text.replace(pos, what.size(), with);
}

} // namespace

TConnParams::TConnParams(std::string registryFile, TAccess access)
{
    TRegistryEx reg(kProductKey, std::move(registryFile));
    reg.ReadOnly = access == TAccess::ReadOnly;
    auto text = [&](const char* name, const char* def) {
        std::string value = reg.GetStringDef(name, def);
        Sources.push_back({name, value, !reg.LastMissing});
        return value;
    };
    DSNName = text("DSNName", "");
    Host = text("Host", "127.0.0.1");
    Database = text("Database", "gtw");
    User = text("User", "svcuser");
    Pass = reg.GetScrambled("Pass");
    const bool passInFile = !reg.LastMissing;
    if (!passInFile)
        Pass = "pelmox";
    Sources.push_back({"Pass", "********", passInFile});
    ODBCDriver = text("ODBCDriver", "MySQL ODBC 3.51 Driver");
    ODBCOptions = text("ODBCOptions", "SERVER=%h;database=%d");
    DatabaseTLS = text("DatabaseTLS", "off");
    DebugLog = reg.GetBoolDef("DebugLog", true);
    Sources.push_back({"DebugLog", DebugLog ? "1" : "0", !reg.LastMissing});
}

TDatabaseTls ParseDatabaseTls(std::string_view text)
{
    const std::string value = LowerCase(TrimText(text));
    if (value.empty() || value == "off")
        return TDatabaseTls::Off;
    if (value == "required")
        return TDatabaseTls::Required;
    if (value == "verified")
        return TDatabaseTls::Verified;
    return TDatabaseTls::Unknown;
}

const char* ToText(TDatabaseTls mode) noexcept
{
    switch (mode) {
    case TDatabaseTls::Off: return "off";
    case TDatabaseTls::Required: return "required";
    case TDatabaseTls::Verified: return "verified";
    case TDatabaseTls::Unknown: break;
    }
    return "unknown";
}

std::string TConnParams::TlsProblem() const
{
    if (TlsMode() != TDatabaseTls::Unknown)
        return std::string();
    return "DatabaseTLS \"" + TrimText(DatabaseTLS) + "\" is not off, required or verified: no connection is made";
}

TOfflineParams ReadOfflineParams(std::string registryFile)
{
    TRegistryEx reg(kProductKey, std::move(registryFile));
    reg.ReadOnly = true;
    TOfflineParams p;
    // A zero or negative period or limit would disable the copy in a way no one
    // meant (a copy refreshed only at start-up is too old to use a day later):
    // such values keep their defaults.
    auto positive = [&](const char* name, int def) {
        const int value = reg.GetIntegerDef(name, def);
        return value > 0 ? value : def;
    };
    p.Decisions = reg.GetIntegerDef("OfflineDecisions", 0) != 0;
    p.RefreshMinutes = positive("OfflineRefreshMinutes", p.RefreshMinutes);
    p.MaxAgeHours = positive("OfflineMaxAgeHours", p.MaxAgeHours);
    p.JournalLimit = positive("OfflineJournalLimit", p.JournalLimit);
    return p;
}

std::string TConnParams::ConnectOptions() const
{
    std::string text = ODBCOptions;
    // First, so that a password holding "%c" stays as it is. A folder name
    // goes in bare: it is part of a path ("SSLCA=%c/db-ca.pem").
    if (const char* credentials = std::getenv("CREDENTIALS_DIRECTORY"); credentials && *credentials)
        ReplaceAll(text, "%c", credentials);
    // Values go in braced where the ODBC rules need it (a password may hold ";").
    // A plain single host goes in as it was given.
    const auto hosts = Hosts();
    const bool plain = hosts.empty() || (hosts.size() == 1 && hosts[0] == Host && HostOfItem(Host) == Host);
    ReplaceAll(text, "%h", ConnectionValue(plain ? Host : DriverHostList(hosts)));
    ReplaceAll(text, "%d", ConnectionValue(Database));
    ReplaceAll(text, "%u", ConnectionValue(User));
    ReplaceAll(text, "%p", ConnectionValue(Pass));
    return text;
}

std::vector<std::string> TConnParams::Hosts(std::vector<std::string>* problems) const
{
    return ParseHostList(Host, problems);
}

std::vector<std::string> ParseHostList(std::string_view list, std::vector<std::string>* problems)
{
    std::vector<std::string> out;
    const auto problem = [&](const std::string& text) {
        if (problems)
            problems->push_back(text);
    };
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string item = TrimText(list.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (item.empty()) {
            problem("Host list \"" + std::string(list) + "\": an empty item, left out");
        } else {
            // A port follows the last colon, except inside an IPv6 address without brackets.
            const std::size_t bracket = item.rfind(']');
            const std::size_t colon = item.rfind(':');
            const bool hasPort = colon != std::string::npos && (item.front() == '[' ? bracket != std::string::npos && colon > bracket
                                                                                     : item.find(':') == colon);
            const std::string port = hasPort ? item.substr(colon + 1) : std::string();
            const int number = hasPort ? TextToInt(port, -1) : 0;
            if (hasPort && (port.empty() || port.find_first_not_of("0123456789") != std::string::npos || number < 1 ||
                            number > 65535))
                problem("Host list item \"" + item + "\": the port is not a number from 1 to 65535, left out");
            else
                out.push_back(item);
        }
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return out;
}

std::string HostOfItem(std::string_view item)
{
    std::string host(item);
    if (!host.empty() && host.front() == '[') {
        const auto end = host.find(']');
        return host.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    }
    if (const auto colon = host.find(':'); colon != std::string::npos && host.find(':', colon + 1) == std::string::npos)
        host.resize(colon);
    return host;
}

std::string DriverHostList(const std::vector<std::string>& hosts)
{
    std::string out;
    for (const auto& h : hosts)
        out += (out.empty() ? "" : ",") + h;
    if (hosts.size() == 1 && HostOfItem(hosts[0]) != hosts[0])
        out += ",";
    return out;
}

std::string BracedValue(std::string_view value)
{
    std::string out = "{";
    for (const char c : value) {
        out += c;
        if (c == '}')
            out += '}';
    }
    return out + "}";
}

std::string ConnectionValue(std::string_view value)
{
    const bool plain = value.find_first_of(";{}") == std::string_view::npos && !value.empty() &&
                       value.front() != ' ' && value.back() != ' ';
    return plain ? std::string(value) : BracedValue(value);
}

} // namespace config
