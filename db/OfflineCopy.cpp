#include "db/OfflineCopy.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/SchemaText.hpp"
#include "db/Sql.hpp"
#include "platform/Paths.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace db {
namespace {

constexpr int kTicketDays = 7;  // tickets issued this long ago may still leave
constexpr auto kRetryAfterFailure = std::chrono::minutes(1);
constexpr const char* kInfoTable = "velix_copy";

// The tables a decision reads, with the rows of them it may need.
struct TCopiedTable {
    const char* Name;
    std::string Where;
    const char* MySqlName = nullptr;  // a reserved word there
};

std::vector<std::string> SplitColumns(const std::string& list)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        out.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

void RemoveFile(const std::string& path)
{
    std::error_code ec;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(path + suffix, ec);
}

// The shipped SQLite schema, statement by statement.
bool MakeTables(TODBC& copy)
{
    TODBCStatement s(copy);
    const std::string_view text = ShippedSQLiteSchemaText();
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const std::string sql = config::TrimText(text.substr(start, end - start));
        start = end + 1;
        // Comment lines before a statement belong to it; a chunk of comments only is skipped.
        bool onlyComments = true;
        std::size_t line = 0;
        while (line < sql.size()) {
            const std::size_t nl = std::min(sql.find('\n', line), sql.size());
            const std::string_view l = config::TrimView(std::string_view(sql).substr(line, nl - line));
            if (!l.empty() && !l.starts_with("--"))
                onlyComments = false;
            line = nl + 1;
        }
        if (!onlyComments && !s.Run(sql))
            return false;
    }
    return s.Run(std::string("CREATE TABLE ") + kInfoTable + " (read_at datetime NOT NULL)");
}

// Copies the rows; the columns are those both sides have.
bool CopyTable(TODBC& site, TODBC& copy, const TCopiedTable& table, long long& rows)
{
    TODBCStatement target(copy);
    const std::vector<std::string> copyColumns = SplitColumns(target.ListColumns(table.Name));
    TODBCStatement source(site);
    const bool mySql = site.Kind() == dkMySql && !site.IsSQLite();
    const std::string select = std::string("SELECT * FROM ") + (mySql && table.MySqlName ? table.MySqlName : table.Name) +
                               (table.Where.empty() ? "" : " WHERE " + table.Where);
    bool more = source.Exec(select);
    if (source.Failed())
        return false;
    std::vector<std::string> columns;
    for (const TColInfo& c : source.Columns())
        if (std::find(copyColumns.begin(), copyColumns.end(), c.Name) != copyColumns.end())
            columns.push_back(c.Name);
    std::string head = std::string("INSERT INTO ") + table.Name + " (";
    for (std::size_t i = 0; i < columns.size(); ++i)
        head += (i ? "," : "") + columns[i];
    head += ") VALUES (";
    const TSql quoting(copy.Kind());
    for (; more; more = source.Next()) {
        std::string sql = head;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            sql += i ? "," : "";
            // Quoted text: the copy's column types turn it back into numbers and dates.
            sql += source.IsNull(columns[i]) ? "NULL" : "'" + quoting.EscapeText(source.AsString(columns[i])) + "'";
        }
        if (!target.Exec(sql + ")"))
            return false;
        ++rows;
    }
    return true;
}

} // namespace

std::string OfflineFolder()
{
    return platform::HomeFolder() + "/offline";
}

TOfflineCopy::TOfflineCopy(config::TOfflineParams params, std::string path, std::string deviceFilter,
                           config::TMessLog& log)
    : m_params(params), m_path(std::move(path)), m_deviceFilter(std::move(deviceFilter)), m_log(log)
{
    ReadStoredAge();
}

TOfflineCopy::~TOfflineCopy()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_stopped.notify_all();
        m_thread.join();
    }
}

void TOfflineCopy::ReadStoredAge()
{
    std::error_code ec;
    if (!std::filesystem::exists(m_path, ec))
        return;
    TODBC copy;
    copy.ReportErrors = false;
    if (!ConnectLocalFile(copy, m_path, TLocalFile::Copy))
        return;
    TODBCStatement s(copy);
    // A corrupt file reads as no copy: the next refresh makes a new one.
    if (s.ExecSQL(std::string("SELECT read_at FROM ") + kInfoTable))
        m_readAt = s.AsDateTime("read_at");
}

bool TOfflineCopy::Usable(std::string* why) const
{
    const platform::TDateTime readAt = m_readAt;
    auto no = [&](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (readAt <= 0)
        return no("no offline copy");
    const double hours = (platform::NowDateTime() - readAt) * 24;
    if (hours >= m_params.MaxAgeHours)
        return no(config::Format("the offline copy is %.1f hours old (at most %d)", hours, m_params.MaxAgeHours));
    return true;
}

bool TOfflineCopy::Refresh(TODBC& site)
{
    const auto started = std::chrono::steady_clock::now();
    const platform::TDateTime readAt = platform::NowDateTime();
    const std::string fresh = m_path + ".new";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), ec);
    RemoveFile(fresh);
    long long rows = 0;
    std::string failure;
    {
        TODBC copy;
        copy.MessageLog = &m_log;
        TODBCStatement s(site);
        const bool mySql = site.Kind() == dkMySql && !site.IsSQLite();
        const std::vector<TCopiedTable> tables = {
            {"card", ""}, {"card_type", ""}, {"a_l_range", ""}, {"a_l_range_device", ""}, {"holiday", ""},
            {"device", m_deviceFilter}, {"messages", ""}, {"settings", ""}, {"card_pool", ""}, {"pathway_ft", ""},
            {"spots", ""}, {"lot", ""}, {"counters", ""}, {"counter_item", ""},
            {"tickinv", "in_date >= " + DateTimeEscape(readAt - kTicketDays)},
            // A start-up while the site database is away finds its loops here.
            {"loop", "", "`loop`"},
        };
        if (!ConnectLocalFile(copy, fresh, TLocalFile::Copy))
            failure = "the new copy cannot be made: " + copy.LastDiagnostic;
        else if (!MakeTables(copy))
            failure = "the new copy's tables: " + copy.LastDiagnostic;
        else if (!s.Run(mySql ? "START TRANSACTION WITH CONSISTENT SNAPSHOT" : "BEGIN"))
            failure = "the site database: " + site.LastDiagnostic;
        TODBCStatement target(copy);
        if (failure.empty() && !target.Run("BEGIN"))
            failure = "the new copy: " + copy.LastDiagnostic;
        for (std::size_t i = 0; failure.empty() && i < tables.size(); ++i)
            if (!CopyTable(site, copy, tables[i], rows))
                failure = std::string("table ") + tables[i].Name + ": " +
                          (site.LastDiagnostic.empty() ? copy.LastDiagnostic : site.LastDiagnostic);
        if (failure.empty() &&
            !(target.Exec(std::string("INSERT INTO ") + kInfoTable + " (read_at) VALUES ('" + DateTimeText(readAt) +
                          "')") &&
              target.Run("COMMIT")))
            failure = "the new copy: " + copy.LastDiagnostic;
        s.ExecSQL(mySql ? "COMMIT" : "ROLLBACK");
    }
    if (failure.empty()) {
        std::filesystem::rename(fresh, m_path, ec);
        if (ec)
            failure = "the new copy cannot be put in place: " + ec.message();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!failure.empty()) {
        RemoveFile(fresh);
        m_log.Log("Offline copy not refreshed (" + failure + "); the previous copy stays");
        return false;
    }
    m_readAt = readAt;
    m_rows = rows;
    m_log.LogFmt("Offline copy refreshed: %d rows in %.1f s", static_cast<int>(rows), seconds);
    return true;
}

void TOfflineCopy::Start(const config::TConnParams& site, const TJournal* journal)
{
    m_thread = std::jthread([this, site, journal](std::stop_token stop) { Run(stop, site, journal); });
}

void TOfflineCopy::Run(std::stop_token stop, config::TConnParams site, const TJournal* journal)
{
    TODBC database;
    database.BindColumns = true;
    const auto connection = MakeConnection(site, database, &m_log, "offline copy");
    while (!stop.stop_requested()) {
        bool done = false;
        if (journal && journal->Depth() > 0)
            m_log.Log("Offline copy not refreshed: the journal holds decisions the site database has not had");
        else if (connection->EnsureConnected())
            done = Refresh(database);
        const auto wait = done ? std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::minutes(m_params.RefreshMinutes))
                               : std::chrono::duration_cast<std::chrono::steady_clock::duration>(kRetryAfterFailure);
        std::unique_lock lock(m_stopMutex);
        m_stopped.wait_for(lock, stop, wait, [] { return false; });
    }
}

} // namespace db
