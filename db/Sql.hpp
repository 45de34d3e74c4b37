#pragma once

#include "db/DbKind.hpp"
#include "platform/LocalTime.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace db {

// Collects column/value pairs and renders one INSERT or UPDATE text with the
// quoting, escaping and date-time rules of the database family. Cannot fail.
class TSql {
public:
    explicit TSql(TDbKind kind) : Kind(kind) {}

    void Clear(bool allowDuplicates);
    int IndexOfField(std::string_view name) const;
    int AddField(std::string_view name, std::string_view value, bool quoted);
    int AddInt(std::string_view name, std::int32_t value);
    int AddFloat(std::string_view name, double value);
    int AddBool(std::string_view name, bool value);
    int AddDateTime(std::string_view name, platform::TDateTime value);
    int AddNow(std::string_view name);
    int SetField(std::string_view name, std::string_view value, bool quoted);
    int SetInt(std::string_view name, std::int32_t value, bool quoted);

    std::string BuildSql(std::string_view table, bool insert, std::string_view where) const;
    std::string BuildUpdate(std::string_view prefix, std::string_view where) const;
    std::string BuildInsert(std::string_view prefix, std::string_view keyword, std::string_view suffix) const;

    std::string EscapeText(std::string_view text) const;
    static std::string QuoteName(std::string_view name);

    const TDbKind Kind;
    bool AllowDuplicates = false;
    std::vector<std::string> FieldNames;
    std::vector<std::string> FieldValues;
    std::vector<bool> QuotedFlags;

private:
    std::string Rendered(std::size_t i) const;
};

// YYYY-MM-DD HH:NN:SS
std::string DateTimeText(platform::TDateTime value);
// {ts 'YYYY-MM-DD HH:NN:SS'}
std::string DateTimeEscape(platform::TDateTime value);

} // namespace db
