#include "config/RegistryEx.hpp"

#include "config/Scrambler.hpp"
#include "platform/Paths.hpp"
#include "platform/RegistryFile.hpp"

namespace config {
namespace {

constexpr std::string_view kComputerNameKey = "\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName\\";

} // namespace

TRegistryEx::TRegistryEx(std::string keyPath, std::string registryFile) : m_keyPath(std::move(keyPath))
{
    try {
        m_file = std::make_unique<platform::TRegistryFile>(registryFile.empty() ? platform::RegistryPath()
                                                                                : std::move(registryFile));
    } catch (...) {
        m_file.reset();
    }
}

TRegistryEx::~TRegistryEx() = default;

void TRegistryEx::SetKeyPath(std::string keyPath)
{
    m_keyPath = std::move(keyPath);
}

std::string TRegistryEx::FullKey() const
{
    std::string_view p = m_keyPath;
    if (!p.empty() && p.front() == '\\')
        p.remove_prefix(1);
    return "HKEY_LOCAL_MACHINE\\" + std::string(p);
}

bool TRegistryEx::OpenKey() noexcept
{
    try {
        if (!m_file)
            return false;
        const std::string key = FullKey();
        if (!m_file->KeyExists(key) && !ReadOnly)
            m_file->AddKey(key);  // create-on-read; a read-only file is fine
        return true;
    } catch (...) {
        return false;
    }
}

std::string TRegistryEx::GetString(std::string_view name) noexcept
{
    try {
        // A key that cannot be opened has no values: its reads take their defaults.
        LastMissing = true;
        if (!OpenKey())
            return std::string();
        const auto v = m_file->Value(FullKey(), name);
        if (!v || (v->Type != platform::TRegType::String && v->Type != platform::TRegType::ExpandString))
            return std::string();
        LastMissing = false;
        return v->Text;
    } catch (...) {
        LastMissing = true;
        return std::string();
    }
}

std::int32_t TRegistryEx::GetInteger(std::string_view name) noexcept
{
    try {
        LastMissing = true;
        if (!OpenKey())
            return 0;
        const auto v = m_file->Value(FullKey(), name);
        if (!v || v->Type != platform::TRegType::DWord)
            return 0;
        LastMissing = false;
        return static_cast<std::int32_t>(v->DWord);
    } catch (...) {
        LastMissing = true;
        return 0;
    }
}

bool TRegistryEx::GetBool(std::string_view name) noexcept
{
    return GetInteger(name) != 0;
}

std::string TRegistryEx::GetStringDef(std::string_view name, std::string_view def) noexcept
{
    std::string v = GetString(name);
    return LastMissing ? std::string(def) : v;
}

bool TRegistryEx::GetBoolDef(std::string_view name, bool def) noexcept
{
    const bool v = GetBool(name);
    return LastMissing ? def : v;
}

std::int32_t TRegistryEx::GetIntegerDef(std::string_view name, std::int32_t def) noexcept
{
    const std::int32_t v = GetInteger(name);
    return LastMissing ? def : v;
}

std::string TRegistryEx::GetScrambled(std::string_view name) noexcept
{
    try {
        std::string stored = GetString(name);
        return Unscramble(stored);
    } catch (...) {
        LastMissing = true;
        return std::string();
    }
}

std::string ComputerName(std::string registryFile)
{
    try {
        // This key always exists on the original platform, so it is never created here.
        platform::TRegistryFile file(registryFile.empty() ? platform::RegistryPath() : std::move(registryFile));
        const std::string key = "HKEY_LOCAL_MACHINE" + std::string(kComputerNameKey);
        const auto v = file.Value(key, "ComputerName");
        if (v && (v->Type == platform::TRegType::String || v->Type == platform::TRegType::ExpandString))
            return v->Text;
        return platform::HostName();
    } catch (...) {
        return platform::HostName();
    }
}

} // namespace config
