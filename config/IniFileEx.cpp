#include "config/IniFileEx.hpp"

#include "config/Format.hpp"
#include "platform/FileText.hpp"
#include "platform/RegistryFile.hpp"

#include <charconv>

namespace config {
namespace {

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view line)
{
    line = TrimView(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return TrimView(line.substr(1, close - 1));
}

bool KeyLine(std::string_view line, std::string_view& key, std::string_view& value)
{
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = TrimView(line.substr(0, eq));
    value = TrimView(line.substr(eq + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return !key.empty() && key.front() != ';';
}

} // namespace

TIniFileEx::TIniFileEx(std::string fileName) : m_fileName(std::move(fileName))
{
    if (const auto text = platform::ReadWholeFile(m_fileName))
        SetText(*text);
}

TIniFileEx TIniFileEx::FromText(std::string_view text)
{
    TIniFileEx ini{std::string()};
    ini.SetText(text);
    return ini;
}

void TIniFileEx::SetText(std::string_view rest)
{
    m_lines.clear();
    if (rest.substr(0, 3) == "\xEF\xBB\xBF")
        rest.remove_prefix(3);
    while (!rest.empty()) {
        const auto nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        m_lines.emplace_back(line);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
}

std::optional<std::string> TIniFileEx::Find(std::string_view section, std::string_view key) const
{
    bool inSection = false;
    for (const auto& line : m_lines) {
        if (const auto s = SectionOf(line)) {
            inSection = platform::EqualsNoCase(*s, section);
            continue;
        }
        std::string_view k, v;
        if (inSection && KeyLine(line, k, v) && platform::EqualsNoCase(k, key))
            return std::string(v);
    }
    return std::nullopt;
}

bool TIniFileEx::ValueExists(std::string_view section, std::string_view key) const
{
    return Find(section, key).has_value();
}

std::string TIniFileEx::ReadString(std::string_view section, std::string_view key, std::string_view def) const
{
    const auto v = Find(section, key);
    return v ? *v : std::string(def);
}

std::int32_t TIniFileEx::ReadInteger(std::string_view section, std::string_view key, std::int32_t def) const
{
    const auto v = Find(section, key);
    if (!v)
        return def;
    std::string_view s = *v;
    int base = 10;
    if (s.substr(0, 2) == "0x" || s.substr(0, 2) == "0X") {
        base = 16;
        s.remove_prefix(2);
    } else if (s.substr(0, 1) == "$") {
        base = 16;
        s.remove_prefix(1);
    }
    std::int32_t out = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out, base);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size())
        return def;
    return out;
}

bool TIniFileEx::ReadBool(std::string_view section, std::string_view key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

bool TIniFileEx::WriteString(std::string_view section, std::string_view key, std::string_view value)
{
    const std::string entry = std::string(key) + "=" + std::string(value);
    bool inSection = false;
    std::size_t insertAt = std::string::npos;
    bool replaced = false;
    for (std::size_t i = 0; i < m_lines.size() && !replaced; ++i) {
        if (const auto s = SectionOf(m_lines[i])) {
            if (inSection)
                break;
            inSection = platform::EqualsNoCase(*s, section);
            if (inSection)
                insertAt = i + 1;
            continue;
        }
        if (!inSection)
            continue;
        std::string_view k, v;
        if (KeyLine(m_lines[i], k, v) && platform::EqualsNoCase(k, key)) {
            m_lines[i] = entry;
            replaced = true;
        } else if (!TrimView(m_lines[i]).empty()) {
            insertAt = i + 1;
        }
    }
    if (!replaced) {
        if (insertAt == std::string::npos) {
            if (!m_lines.empty() && !TrimView(m_lines.back()).empty())
                m_lines.emplace_back();
            m_lines.push_back("[" + std::string(section) + "]");
            m_lines.push_back(entry);
        } else {
            m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
        }
    }
    std::string text;
    for (const auto& line : m_lines)
        text += line + "\r\n";
    platform::TReplaceFile file(m_fileName);
    return file.Write(text) && file.Commit();
}

std::string TIniFileEx::ReadStringInit(std::string_view section, std::string_view key, std::string_view def)
{
    if (!ValueExists(section, key))
        WriteString(section, key, def);
    return ReadString(section, key, def);
}

std::int32_t TIniFileEx::ReadIntegerInit(std::string_view section, std::string_view key, std::int32_t def)
{
    if (!ValueExists(section, key))
        WriteString(section, key, std::to_string(def));
    return ReadInteger(section, key, def);
}

bool TIniFileEx::ReadBoolInit(std::string_view section, std::string_view key, bool def)
{
    if (!ValueExists(section, key))
        WriteString(section, key, def ? "1" : "0");
    return ReadBool(section, key, def);
}

} // namespace config
