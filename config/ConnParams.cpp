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
    ReplaceAll(text, "%h", Host);
    ReplaceAll(text, "%d", Database);
    ReplaceAll(text, "%u", User);
    ReplaceAll(text, "%p", Pass);
    return text;
}

} // namespace config
