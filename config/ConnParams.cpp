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

TConnParams::TConnParams(std::string registryFile)
{
    TRegistryEx reg(kProductKey, std::move(registryFile));
    DSNName = reg.GetStringDef("DSNName", "");
    Host = reg.GetStringDef("Host", "127.0.0.1");
    Database = reg.GetStringDef("Database", "gtw");
    User = reg.GetStringDef("User", "svcuser");
    Pass = reg.GetScrambled("Pass");
    if (reg.LastMissing)
        Pass = "pelmox";
    ODBCDriver = reg.GetStringDef("ODBCDriver", "MySQL ODBC 3.51 Driver");
    ODBCOptions = reg.GetStringDef("ODBCOptions", "SERVER=%h;database=%d");
    DebugLog = reg.GetBoolDef("DebugLog", true);
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
