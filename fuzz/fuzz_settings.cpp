// The settings file: sections, keys, values, any bytes and line ends.
#include "config/IniFileEx.hpp"

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto ini = config::TIniFileEx::FromText(fuzz::Text(data, size));
    for (const char* key : {"RespDelay", "Email Server", "Extended Grace Lane", "Low Security on DB Error", ""}) {
        ini.ReadString("Settings", key, "x");
        ini.ReadInteger("Settings", key, 7);
        ini.ReadBool("Settings", key, true);
        ini.ValueExists("settings", key);
    }
    return 0;
}
