// A registry export file, as read from disk: UTF-16 or UTF-8, any bytes.
#include "platform/RegistryFile.hpp"

#include "FuzzInput.hpp"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto file = platform::TRegistryFile::FromBytes(std::string(fuzz::Text(data, size)));
    static constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix";
    for (const char* name : {"Host", "Database", "Pass", "DebugLog", "ODBCOptions", ""})
        if (const auto v = file.Value(kKey, name))
            fuzz::Require(v->Type != platform::TRegType::DWord || v->Text.empty());
    file.KeyExists(kKey);
    file.KeyExists("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    return 0;
}
