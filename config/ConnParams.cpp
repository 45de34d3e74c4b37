#include "config/ConnParams.hpp"


#include "config/RegistryEx.hpp"

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
    DebugLog = reg.GetBoolDef("DebugLog", true);
    Sources.push_back({"DebugLog", DebugLog ? "1" : "0", !reg.LastMissing});
}

std::string TConnParams::ConnectOptions() const
{
    std::string text = ODBCOptions;
    // Values go in braced where the ODBC rules need it (a password may hold ";").
    ReplaceAll(text, "%h", ConnectionValue(Host));
    ReplaceAll(text, "%d", ConnectionValue(Database));
    ReplaceAll(text, "%u", ConnectionValue(User));
    ReplaceAll(text, "%p", ConnectionValue(Pass));
    return text;
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
