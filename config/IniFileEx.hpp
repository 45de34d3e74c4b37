#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace config {

// Settings file in the Windows profile format: "[Section]" lines, then
// "key=value" lines; names compare without regard to case; CR LF and LF both
// read, CR LF written. Reads never throw: a missing or unreadable file reads as
// empty. Writes replace the file whole and are dropped, silently, when the
// file cannot be written.
class TIniFileEx {
public:
    explicit TIniFileEx(std::string fileName);
    // Parsed from text in memory, with no file behind it (writes are dropped).
    static TIniFileEx FromText(std::string_view text);

    std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
    std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const;
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;
    bool ValueExists(std::string_view section, std::string_view key) const;

    bool WriteString(std::string_view section, std::string_view key, std::string_view value);

    // The key is written with its default first when absent, then read.
    std::string ReadStringInit(std::string_view section, std::string_view key, std::string_view def);
    std::int32_t ReadIntegerInit(std::string_view section, std::string_view key, std::int32_t def);
    bool ReadBoolInit(std::string_view section, std::string_view key, bool def);

    const std::string& FileName() const noexcept { return m_fileName; }

private:
    void SetText(std::string_view text);
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    std::string m_fileName;
    std::vector<std::string> m_lines;
};

} // namespace config
