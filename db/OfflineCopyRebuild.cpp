#include "db/OfflineCopyRebuild.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopyRows.hpp"
#include "db/OfflineCopySums.hpp"
#include "db/Sql.hpp"

#include <filesystem>

namespace db::offline {
namespace {

void RemoveFile(const std::string& path)
{
    std::error_code ec;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(path + suffix, ec);
}

bool CopyRows(TODBC& site, TODBC& copy, const TCopyTable& table, long long& rowsRead)
{
    TRawRows rows(site);
    if (!rows.Open(SiteSelectSql(table, site.Kind(), "")))
        return false;
    TInsertBatch insert(copy, CopyInsertHead(table));
    std::string tuple;
    while (rows.Next()) {
        tuple.clear();
        AppendTuple(tuple, rows);
        if (!insert.Add(tuple))
            return false;
        ++rowsRead;
    }
    return !rows.Failed() && insert.Flush();
}

// The new file's tables; empty, or why not.
std::string MakeTables(TODBC& site, TODBC& copy, std::vector<TCopyTable>& tables)
{
    TODBCStatement s(copy);
    bool ok = s.Run(std::string("CREATE TABLE ") + kCopyInfoTable + " (read_at datetime NOT NULL)") &&
              s.Run(std::string("CREATE TABLE ") + kCopyTablesTable +
                    " (name varchar(64) PRIMARY KEY, shape text NOT NULL)");
    for (auto& table : tables) {
        ReadPrimaryKey(site, table);
        ok = ok && s.Run(CreateTableSql(table));
    }
    return ok ? std::string() : "the new copy's tables: " + copy.LastDiagnostic;
}

// Every table's rows, indexes and description, and the read time, in one
// transaction; empty, or why not.
std::string FillTables(TODBC& site, TODBC& copy, const std::vector<TCopyTable>& tables, platform::TDateTime readAt,
                       long long& rowsRead)
{
    TODBCStatement s(copy);
    if (!s.Run("BEGIN"))
        return "the new copy: " + copy.LastDiagnostic;
    for (const TCopyTable& table : tables) {
        site.LastDiagnostic.clear();
        if (table.Rows && !CopyRows(site, copy, table, rowsRead))
            return "table " + table.Name + ": " +
                   (site.LastDiagnostic.empty() ? copy.LastDiagnostic : site.LastDiagnostic);
        for (const auto& sql : CreateIndexSql(table))
            if (!s.Run(sql))
                return "the new copy's indexes: " + copy.LastDiagnostic;
        if (!s.Run(std::string("INSERT INTO ") + kCopyTablesTable + " (name, shape) VALUES ('" + table.Name + "', '" +
                   TSql(dkSQLite).EscapeText(table.Shape()) + "')"))
            return "the new copy: " + copy.LastDiagnostic;
    }
    if (!s.Run(std::string("INSERT INTO ") + kCopyInfoTable + " (read_at) VALUES ('" + DateTimeText(readAt) + "')") ||
        !s.Run("COMMIT"))
        return "the new copy: " + copy.LastDiagnostic;
    return std::string();
}

} // namespace

bool RebuildCopy(TODBC& site, std::vector<TCopyTable>& tables, const TRefreshRequest& request, config::TMessLog& log,
                 long long& rowsRead, std::string& why)
{
    const std::string fresh = request.Path + ".new";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(request.Path).parent_path(), ec);
    RemoveFile(fresh);
    {
        TODBC copy;
        copy.MessageLog = &log;
        if (!ConnectLocalFile(copy, fresh, TLocalFile::Copy))
            why = "the new copy cannot be made: " + copy.LastDiagnostic;
        if (why.empty())
            why = MakeTables(site, copy, tables);
        if (why.empty())
            why = FillTables(site, copy, tables, request.ReadAt, rowsRead);
    }
    if (why.empty() && request.DecisionsPending && request.DecisionsPending())
        why = "decisions were made from the copy during the refresh";
    if (why.empty()) {
        // A journal the old copy's last writer left would be played onto the new file.
        std::filesystem::remove(request.Path + "-journal", ec);
        std::filesystem::rename(fresh, request.Path, ec);
        if (ec)
            why = "the new copy cannot be put in place: " + ec.message();
    }
    if (why.empty())
        return true;
    RemoveFile(fresh);
    return false;
}

} // namespace db::offline
