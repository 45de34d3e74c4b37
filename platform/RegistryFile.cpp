#include "platform/RegistryFile.hpp"

#include "platform/FileText.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform {
namespace {

std::string_view TrimView(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

void AppendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Parses "a,b,c" hex byte lists as the registry editor writes them.
std::optional<std::string> HexBytes(std::string_view list)
{
    std::string bytes;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string_view item = TrimView(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (item.empty())
            continue;
        unsigned v = 0;
        const auto r = std::from_chars(item.data(), item.data() + item.size(), v, 16);
        if (r.ec != std::errc() || r.ptr != item.data() + item.size() || v > 0xFF)
            return std::nullopt;
        bytes += static_cast<char>(v);
    }
    return bytes;
}

// Reads a quoted text starting at s[0] == '"'; returns the unescaped text and
// moves s past the closing quote.
std::optional<std::string> QuotedText(std::string_view& s)
{
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out += s[++i];
        } else if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

std::string StripKey(std::string_view key)
{
    std::string k(TrimView(key));
    while (!k.empty() && k.back() == '\\')
        k.pop_back();
    return k;
}

} // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Utf16LeToUtf8(std::string_view bytes)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t u = static_cast<unsigned char>(bytes[i]) |
                          (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t lo = static_cast<unsigned char>(bytes[i + 2]) |
                                     (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (lo >= 0xDC00 && lo < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

std::string Utf8ToUtf16Le(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xF0 && i + 3 < text.size()) {
            cp = ((c & 0x07u) << 18) | ((text[i + 1] & 0x3Fu) << 12) | ((text[i + 2] & 0x3Fu) << 6) |
                 (text[i + 3] & 0x3Fu);
            len = 4;
        } else if (c >= 0xE0 && i + 2 < text.size()) {
            cp = ((c & 0x0Fu) << 12) | ((text[i + 1] & 0x3Fu) << 6) | (text[i + 2] & 0x3Fu);
            len = 3;
        } else if (c >= 0xC0 && i + 1 < text.size()) {
            cp = ((c & 0x1Fu) << 6) | (text[i + 1] & 0x3Fu);
            len = 2;
        }
        i += len;
        auto put = [&out](std::uint32_t u) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>((u >> 8) & 0xFF);
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

TRegistryFile::TRegistryFile(std::string path) : m_path(std::move(path))
{
    const auto raw = ReadWholeFile(m_path);
    if (!raw) {
        // Missing: an empty registry that create-on-read may start. Unreadable
        // (a folder, no permission): empty, and never overwritten.
        m_exists = FileExists(m_path);
        m_parsed = !m_exists;
        return;
    }
    m_exists = true;
    Load(*raw);
}

TRegistryFile TRegistryFile::FromBytes(std::string bytes)
{
    TRegistryFile file;
    file.Load(std::move(bytes));
    return file;
}

void TRegistryFile::Load(std::string raw)
{
    m_raw = std::move(raw);
    std::string text;
    if (m_raw.size() >= 2 && static_cast<unsigned char>(m_raw[0]) == 0xFF &&
        static_cast<unsigned char>(m_raw[1]) == 0xFE) {
        m_utf16 = true;
        text = Utf16LeToUtf8(std::string_view(m_raw).substr(2));
    } else if (m_raw.size() >= 3 && m_raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = m_raw.substr(3);
    } else {
        text = m_raw;
    }
    Parse(text);
}

void TRegistryFile::Parse(std::string_view text)
{
    std::vector<std::string> lines;
    std::string pending;
    bool header = false;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = TrimView(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!header) {
            if (line.empty())
                continue;
            if (line == "Windows Registry Editor Version 5.00") {
                header = true;
            } else if (line == "REGEDIT4") {
                header = true;
                m_regedit4 = true;
            } else {
                return;  // not a registry export: stays unparsed
            }
            continue;
        }
        // A trailing backslash continues a hex value on the next line.
        if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string_view::npos) {
            pending.append(line.substr(0, line.size() - 1));
            continue;
        }
        if (!pending.empty()) {
            pending.append(line);
            lines.push_back(std::move(pending));
            pending.clear();
        } else {
            lines.emplace_back(line);
        }
    }
    if (!header)
        return;
    if (!pending.empty())
        lines.push_back(std::move(pending));

    std::string key;
    bool keyLive = false;
    for (const auto& l : lines) {
        std::string_view line = l;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            const auto close = line.rfind(']');
            if (close == std::string_view::npos)
                continue;
            std::string_view inner = line.substr(1, close - 1);
            keyLive = inner.empty() || inner.front() != '-';
            key = StripKey(keyLive ? inner : inner.substr(1));
            if (keyLive)
                m_keys.push_back(key);
            continue;
        }
        if (!keyLive)
            continue;
        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (line.front() == '"') {
            auto q = QuotedText(line);
            if (!q)
                continue;
            name = std::move(*q);
        } else {
            continue;
        }
        line = TrimView(line);
        if (line.empty() || line.front() != '=')
            continue;
        line = TrimView(line.substr(1));
        TRegValue value;
        if (!line.empty() && line.front() == '"') {
            auto q = QuotedText(line);
            if (!q)
                continue;
            value.Type = TRegType::String;
            value.Text = std::move(*q);
        } else if (line.substr(0, 6) == "dword:") {
            const std::string_view digits = TrimView(line.substr(6));
            std::uint32_t v = 0;
            const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
            if (digits.empty() || r.ec != std::errc() || r.ptr != digits.data() + digits.size())
                value.Type = TRegType::Other;
            else
                value = TRegValue{.Type = TRegType::DWord, .Text = {}, .DWord = v};
        } else if (line.substr(0, 7) == "hex(2):") {
            const auto bytes = HexBytes(line.substr(7));
            if (bytes) {
                value.Type = TRegType::ExpandString;
                value.Text = m_regedit4 ? *bytes : Utf16LeToUtf8(*bytes);
                while (!value.Text.empty() && value.Text.back() == '\0')
                    value.Text.pop_back();
            }
        } else if (line == "-") {
            continue;  // deletion entry
        }
        // Any other data (hex:, hex(n):) stays Type Other: no string or DWORD read accepts it.
        m_entries.push_back(TEntry{key, std::move(name), std::move(value)});
    }
    m_parsed = true;
}

bool TRegistryFile::KeyExists(std::string_view key) const
{
    const std::string k = StripKey(key);
    return std::any_of(m_keys.begin(), m_keys.end(), [&k](const std::string& listed) {
        return EqualsNoCase(listed, k) ||
               (listed.size() > k.size() && listed[k.size()] == '\\' &&
                EqualsNoCase(std::string_view(listed).substr(0, k.size()), k));
    });
}

std::optional<TRegValue> TRegistryFile::Value(std::string_view key, std::string_view name) const
{
    const std::string k = StripKey(key);
    // The last entry wins, as when the file is imported.
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if (EqualsNoCase(it->Key, k) && EqualsNoCase(it->Name, name))
            return it->Value;
    return std::nullopt;
}

bool TRegistryFile::AddKey(std::string_view key)
{
    if (!m_parsed || m_path.empty())
        return false;
    const std::string k = StripKey(key);
    std::string bytes;
    if (!m_exists) {
        const std::string folder = ParentFolder(m_path);
        if (!folder.empty() && !IsDirectory(folder))
            return false;
        bytes = "Windows Registry Editor Version 5.00\r\n\r\n[" + k + "]\r\n\r\n";
    } else {
        std::string add = "[" + k + "]\r\n\r\n";
        const bool endsWithNewline =
            m_utf16 ? (m_raw.size() >= 2 && m_raw[m_raw.size() - 2] == '\n')
                    : (!m_raw.empty() && m_raw.back() == '\n');
        if (!endsWithNewline)
            add = "\r\n" + add;
        bytes = m_raw + (m_utf16 ? Utf8ToUtf16Le(add) : add);
    }
    TReplaceFile file(m_path);
    if (!file.Write(bytes) || !file.Commit())
        return false;
    m_raw = std::move(bytes);
    m_exists = true;
    m_keys.push_back(k);
    return true;
}

} // namespace platform
