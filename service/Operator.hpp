#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace config {
class TConnParams;
}
namespace db {
class TODBC;
class TODBCStatement;
}

namespace service {

// velixcard CHECK: the registry, settings file, driver, database, schema,
// loops and ports as the service would find them, as tables. Writes nothing.
// 0 when the service could start, 1 (with the reasons) otherwise.
int RunCheck(std::FILE* out);

// velixcard STATUS: the site as the database shows it now. Read only.
int RunStatus(std::FILE* out);
// The offline copy and journal as their files show them (STATUS and CHECK);
// the lines say whether offline decisions are on and could be made now.
// Returns the warnings: a copy the service could not make, one not usable.
std::vector<std::string> PrintOfflineState(std::FILE* out);

// Rows of text printed with each column as wide as its widest cell.
class TTextTable {
public:
    explicit TTextTable(std::vector<std::string> heading) { m_rows.push_back(std::move(heading)); }
    void Add(std::vector<std::string> row) { m_rows.push_back(std::move(row)); }
    void Print(std::FILE* out) const;

private:
    std::vector<std::vector<std::string>> m_rows;
};

// The loops a computer serves, its own and the POE/POF ones, by id.
std::string ServedLoopsSql(const db::TODBC& odbc, const std::string& computerName);

// The lot row's name, or "Lot <id>" where the site gives its lots none (the
// column is optional); for the status page, /metrics and STATUS.
std::string LotName(db::TODBCStatement& lot);

} // namespace service
