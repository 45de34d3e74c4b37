#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {
class TRegistryFile;
}

namespace config {

// Reader of one key below HKEY_LOCAL_MACHINE in the registry file. Reads tell a
// missing value (absent, wrong type, unreadable) from an empty one: LastMissing.
// Never throws; used by the thread that made it.
class TRegistryEx {
public:
    // keyPath as "\Software\Trellant\Velix\"; registryFile defaults to the
    // program's registry file.
    explicit TRegistryEx(std::string keyPath, std::string registryFile = std::string());
    ~TRegistryEx();
    TRegistryEx(const TRegistryEx&) = delete;
    TRegistryEx& operator=(const TRegistryEx&) = delete;

    void SetKeyPath(std::string keyPath);

    std::string GetString(std::string_view name) noexcept;
    bool GetBool(std::string_view name) noexcept;
    std::int32_t GetInteger(std::string_view name) noexcept;
    std::string GetStringDef(std::string_view name, std::string_view def) noexcept;
    bool GetBoolDef(std::string_view name, bool def) noexcept;
    std::int32_t GetIntegerDef(std::string_view name, std::int32_t def) noexcept;
    std::string GetScrambled(std::string_view name) noexcept;

    bool LastMissing = false;
    // Reads only: an absent key is not added to the file.
    bool ReadOnly = false;

private:
    bool OpenKey() noexcept;
    std::string FullKey() const;

    std::string m_keyPath;
    std::unique_ptr<platform::TRegistryFile> m_file;
};

// The computer name: the registry's ComputerName value when the file holds it,
// otherwise the host name.
std::string ComputerName(std::string registryFile = std::string());

} // namespace config
