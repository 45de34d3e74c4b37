#include "db/Sql.hpp"

#include "db/Dialect.hpp"

#include "config/Format.hpp"

#include <algorithm>
#include <cctype>

namespace db {
namespace {

std::string ValueText(std::string_view value, bool quoted)
{
    std::string text = config::TrimText(value);
    if (text.empty() && !quoted)
        return "null";
    return text;
}

} // namespace

std::string DateTimeText(platform::TDateTime value)
{
    const auto t = platform::DecodeDateTime(value);
    return config::Format("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
}

std::string DateTimeEscape(platform::TDateTime value)
{
    return "{ts '" + DateTimeText(value) + "'}";
}

void TSql::Clear(bool allowDuplicates)
{
    FieldNames.clear();
    FieldValues.clear();
    QuotedFlags.clear();
    AllowDuplicates = allowDuplicates;
}

int TSql::IndexOfField(std::string_view name) const
{
    const std::string key = config::LowerCase(name);
    const auto it = std::find(FieldNames.begin(), FieldNames.end(), key);
    return it == FieldNames.end() ? -1 : static_cast<int>(it - FieldNames.begin());
}

int TSql::AddField(std::string_view name, std::string_view value, bool quoted)
{
    const int index = IndexOfField(name);
    if (index >= 0 && !AllowDuplicates)
        return index;
    FieldNames.push_back(config::LowerCase(name));
    FieldValues.push_back(ValueText(value, quoted));
    QuotedFlags.push_back(quoted);
    return static_cast<int>(FieldNames.size()) - 1;
}

int TSql::AddInt(std::string_view name, std::int32_t value)
{
    return AddField(name, std::to_string(value), false);
}

int TSql::AddFloat(std::string_view name, double value)
{
    return AddField(name, config::FloatToStr(value), false);
}

int TSql::AddBool(std::string_view name, bool value)
{
    return AddInt(name, value ? 1 : 0);
}

int TSql::AddDateTime(std::string_view name, platform::TDateTime value)
{
    return AddField(name, DateTimeEscape(value), false);
}

int TSql::AddNow(std::string_view name)
{
    return AddField(name, "{fn now()}", false);
}

int TSql::SetField(std::string_view name, std::string_view value, bool quoted)
{
    const int index = IndexOfField(name);
    if (index < 0)
        return AddField(name, value, quoted);
    const auto i = static_cast<std::size_t>(index);
    FieldValues[i] = ValueText(value, quoted);
    QuotedFlags[i] = quoted;
    return index;
}

int TSql::SetInt(std::string_view name, std::int32_t value, bool quoted)
{
    return SetField(name, std::to_string(value), quoted);
}

std::string TSql::EscapeText(std::string_view text) const
{
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\'')
            out += "''";
        else if (c == '\\' && DialectOf(Kind).BackslashEscapes)
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string TSql::QuoteName(std::string_view name)
{
    const bool needs = name.find_first_of(" -") != std::string_view::npos;
    if (needs && (name.empty() || name.front() != '"'))
        return "\"" + std::string(name) + "\"";
    return std::string(name);
}

std::string TSql::Rendered(std::size_t i) const
{
    if (QuotedFlags[i] || FieldValues[i].empty())
        return "'" + EscapeText(FieldValues[i]) + "'";
    return FieldValues[i];
}

std::string TSql::BuildUpdate(std::string_view prefix, std::string_view where) const
{
    std::string out = std::string(prefix) + " set ";
    for (std::size_t i = 0; i < FieldNames.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += QuoteName(FieldNames[i]) + "=" + Rendered(i);
    }
    if (!where.empty())
        out += " " + std::string(where);
    return out;
}

std::string TSql::BuildInsert(std::string_view prefix, std::string_view keyword, std::string_view suffix) const
{
    std::string out = std::string(prefix) + " (";
    for (std::size_t i = 0; i < FieldNames.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += QuoteName(FieldNames[i]);
    }
    out += ") " + std::string(keyword) + " (";
    for (std::size_t i = 0; i < FieldNames.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += Rendered(i);
    }
    out += ")" + std::string(suffix);
    return out;
}

std::string TSql::BuildSql(std::string_view table, bool insert, std::string_view where) const
{
    if (insert)
        return BuildInsert("insert into " + std::string(table), "Values", "");
    return BuildUpdate("update " + std::string(table), where);
}

} // namespace db
