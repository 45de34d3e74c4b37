#include "config/ConnParams.hpp"

#include "db/ODBC.hpp"

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
    ReplaceAll(text, "%h", db::ConnectionValue(Host));
    ReplaceAll(text, "%d", db::ConnectionValue(Database));
    ReplaceAll(text, "%u", db::ConnectionValue(User));
    ReplaceAll(text, "%p", db::ConnectionValue(Pass));
    return text;
}

} // namespace config
