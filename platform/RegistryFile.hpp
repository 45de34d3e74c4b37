#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class TRegType { String, ExpandString, DWord, Other };

struct TRegValue {
    TRegType Type = TRegType::Other;
    std::string Text;          // String and ExpandString, UTF-8
    std::uint32_t DWord = 0;   // DWord
};

// A registry export file (.reg) read as a key/value store. Key paths are full
// ("HKEY_LOCAL_MACHINE\Software\..."), without brackets; names compare without
// regard to case. A missing file is an empty store; a file that does not parse
// is an empty store that is never written to.
class TRegistryFile {
public:
    explicit TRegistryFile(std::string path);
    // Parsed from the bytes of a file in memory, with no file behind it
    // (AddKey fails).
    static TRegistryFile FromBytes(std::string bytes);

    bool Parsed() const noexcept { return m_parsed; }
    // A key exists when it is listed or is the parent of a listed key.
    bool KeyExists(std::string_view key) const;
    std::optional<TRegValue> Value(std::string_view key, std::string_view name) const;
    // Appends an empty key to the file, keeping its encoding. False when the
    // file could not be written (the caller ignores that).
    bool AddKey(std::string_view key);

private:
    struct TEntry {
        std::string Key;
        std::string Name;  // empty for the default value "@"
        TRegValue Value;
    };
    TRegistryFile() = default;
    void Load(std::string raw);
    void Parse(std::string_view text);

    std::string m_path;
    bool m_exists = false;
    bool m_parsed = false;
    bool m_utf16 = false;
    bool m_regedit4 = false;
    std::string m_raw;
    std::vector<std::string> m_keys;
    std::vector<TEntry> m_entries;
};

// Text helpers shared by the file formats here.
std::string Utf16LeToUtf8(std::string_view bytes);
std::string Utf8ToUtf16Le(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;

} // namespace platform
