// What the operator commands share: tables of text and the connection.
#include "service/Operator.hpp"

#include "config/ConnParams.hpp"
#include "db/ODBC.hpp"
#include "db/Sql.hpp"
#include "loop/Loop.hpp"
#include "platform/Ping.hpp"

#include <algorithm>

namespace service {

void TTextTable::Print(std::FILE* out) const
{
    std::vector<std::size_t> widths;
    for (const auto& row : m_rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.push_back(0);
            widths[i] = std::max(widths[i], row[i].size());
        }
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        std::string line;
        for (std::size_t i = 0; i < m_rows[r].size(); ++i) {
            std::string cell = m_rows[r][i];
            if (i + 1 < m_rows[r].size())
                cell.resize(widths[i] + 2, ' ');
            line += cell;
        }
        std::fprintf(out, "  %s\n", line.c_str());
        if (r == 0) {
            std::string rule;
            for (std::size_t i = 0; i < widths.size(); ++i)
                rule += std::string(widths[i], '-') + (i + 1 < widths.size() ? "  " : "");
            std::fprintf(out, "  %s\n", rule.c_str());
        }
    }
    std::fprintf(out, "\n");
}

std::string ServedLoopsSql(const db::TODBC& odbc, const std::string& computerName)
{
    const db::TSql quoting(odbc.Kind());
    return "SELECT * FROM " + loop::LoopTable(odbc) + " WHERE name = '" + quoting.EscapeText(computerName) +
           "' OR UPPER(name) = 'POE/POF' ORDER BY id";
}

std::string LotName(db::TODBCStatement& lot)
{
    const std::string name = lot.AsString("name");
    return name.empty() ? "Lot " + lot.AsString("id") : name;
}

} // namespace service
