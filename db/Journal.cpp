#include "db/Journal.hpp"

#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/Sql.hpp"
#include "platform/RegistryFile.hpp"

#include <filesystem>
#include <unistd.h>

namespace db {
namespace {

constexpr std::size_t kReplayBatch = 100;
constexpr auto kReplayPeriod = std::chrono::seconds(2);

std::string Quoted(TDbKind kind, std::string_view text)
{
    return "'" + TSql(kind).EscapeText(text) + "'";
}

constexpr const char* kJournalSchema[] = {
    "CREATE TABLE IF NOT EXISTS entry (seq integer PRIMARY KEY AUTOINCREMENT, computer varchar(64) NOT NULL, "
    "decided_at datetime NOT NULL)",
    "CREATE TABLE IF NOT EXISTS entry_statement (seq integer NOT NULL, ord integer NOT NULL, sql_text text NOT NULL, "
    "PRIMARY KEY (seq, ord))",
};

} // namespace

std::string JournalTableSql()
{
    return std::string("CREATE TABLE IF NOT EXISTS ") + kJournalTable +
           " (computer varchar(64) NOT NULL, sequence bigint NOT NULL, decided_at datetime NULL, "
           "applied_at datetime NULL, PRIMARY KEY (computer, sequence))";
}

bool IsWriteStatement(std::string_view sql) noexcept
{
    const std::string_view head = config::TrimView(sql).substr(0, 7);
    for (const std::string_view verb : {"INSERT", "UPDATE", "DELETE"})
        if (head.size() >= verb.size() && platform::EqualsNoCase(head.substr(0, verb.size()), verb))
            return true;
    return false;
}

TJournal::TJournal(std::string path, int limit, config::TMessLog& log)
    : m_path(std::move(path)), m_limit(limit), m_log(log)
{
    const std::lock_guard lock(m_mutex);
    OpenLocked();
}

TJournal::~TJournal() = default;

bool TJournal::OpenLocked()
{
    if (m_db && m_db->Connected && !m_db->ConnectionLost)
        return true;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(m_path).parent_path(), ec);
    m_db = std::make_unique<TODBC>();
    m_db->MessageLog = &m_log;
    if (!ConnectLocalFile(*m_db, m_path, TLocalFile::Journal)) {
        m_log.Log("Offline journal " + m_path + " cannot be opened: " + m_db->LastDiagnostic, config::TLevel::Error);
        return false;
    }
    TODBCStatement s(*m_db);
    for (const char* sql : kJournalSchema)
        if (!s.Run(sql))
            return false;
    if (s.Exec("SELECT COUNT(*) AS depth FROM entry"))
        m_depth = static_cast<std::size_t>(s.AsInteger("depth"));
    return true;
}

std::optional<std::int64_t> TJournal::Append(const std::string& computer, platform::TDateTime decidedAt,
                                             const std::vector<std::string>& statements)
{
    const std::lock_guard lock(m_mutex);
    if (Full() || !OpenLocked())
        return std::nullopt;
    TODBCStatement s(*m_db);
    const TDbKind kind = m_db->Kind();
    bool ok = s.Run("BEGIN IMMEDIATE") &&
              s.Exec("INSERT INTO entry (computer, decided_at) VALUES (" + Quoted(kind, computer) + ", " +
                     Quoted(kind, DateTimeText(decidedAt)) + ")") &&
              s.Exec("SELECT last_insert_rowid() AS seq");
    const std::int64_t seq = ok ? static_cast<std::int64_t>(s.AsFloat("seq")) : 0;
    for (std::size_t i = 0; ok && i < statements.size(); ++i)
        ok = s.Exec(config::Format("INSERT INTO entry_statement (seq, ord, sql_text) VALUES (%d, %d, ", seq,
                                   static_cast<int>(i)) +
                    Quoted(kind, statements[i]) + ")");
    // Synchronous FULL: the commit is on the disk when it returns.
    if (!ok || !s.Run("COMMIT")) {
        s.ExecSQL("ROLLBACK");
        m_log.Log("Offline journal: a decision could not be written (" + m_db->LastDiagnostic + ")", config::TLevel::Error);
        return std::nullopt;
    }
    ++m_depth;
    if (!m_warned && m_depth * 10 >= static_cast<std::size_t>(m_limit) * 9) {
        m_warned = true;
        m_log.LogFmt(config::TLevel::Warning, "Offline journal at %d of its %d entries", static_cast<int>(m_depth.load()), m_limit);
    }
    if (Full())
        m_log.LogFmt(config::TLevel::Error, "Offline journal full (%d entries): no more offline decisions until it is replayed", m_limit);
    return seq;
}

std::vector<TJournalEntry> TJournal::Oldest(std::size_t count)
{
    const std::lock_guard lock(m_mutex);
    std::vector<TJournalEntry> out;
    if (!OpenLocked())
        return out;
    TODBCStatement s(*m_db);
    for (bool more = s.ExecFmt("SELECT seq, computer, decided_at FROM entry ORDER BY seq LIMIT %d",
                               static_cast<int>(count));
         more; more = s.Next())
        out.push_back({.Sequence = static_cast<std::int64_t>(s.AsFloat("seq")),
                       .Computer = s.AsString("computer"),
                       .DecidedAt = s.AsDateTime("decided_at"),
                       .Statements = {}});
    for (TJournalEntry& e : out) {
        TODBCStatement lines(*m_db);
        for (bool more = lines.ExecFmt("SELECT sql_text FROM entry_statement WHERE seq = %d ORDER BY ord", e.Sequence);
             more; more = lines.Next())
            e.Statements.push_back(lines.AsString("sql_text"));
    }
    return out;
}

bool TJournal::Remove(std::int64_t sequence)
{
    const std::lock_guard lock(m_mutex);
    if (!OpenLocked())
        return false;
    TODBCStatement s(*m_db);
    const bool ok = s.Run("BEGIN IMMEDIATE") && s.Run(config::Format("DELETE FROM entry_statement WHERE seq = %d", sequence)) &&
                    s.Run(config::Format("DELETE FROM entry WHERE seq = %d", sequence)) && s.Run("COMMIT");
    if (!ok) {
        s.ExecSQL("ROLLBACK");
        return false;
    }
    if (m_depth > 0)
        --m_depth;
    if (m_depth == 0)
        m_warned = false;
    return true;
}

platform::TDateTime TJournal::OldestDecision()
{
    const std::lock_guard lock(m_mutex);
    if (!OpenLocked())
        return 0;
    TODBCStatement s(*m_db);
    return s.Exec("SELECT decided_at FROM entry ORDER BY seq LIMIT 1") ? s.AsDateTime("decided_at") : 0;
}

TJournalReplay::TJournalReplay(TJournal& journal, const config::TConnParams& site, config::TMessLog& log)
    : m_journal(journal), m_log(log), m_db(std::make_unique<TODBC>())
{
    m_db->BindColumns = true;
    m_connection = MakeConnection(site, *m_db, &log, "journal replay");
}

TJournalReplay::~TJournalReplay()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        Wake();
        m_thread.join();
    }
}

void TJournalReplay::Start()
{
    m_thread = std::jthread([this](std::stop_token stop) {
        platform::RunGuarded("journal replay", stop, [this](std::stop_token s) { Run(s); },
                             config::ThreadFailureLogger(m_log));
    });
}

void TJournalReplay::Wake()
{
    {
        const std::lock_guard lock(m_wakeMutex);
        m_woken = true;
    }
    m_wake.notify_all();
}

void TJournalReplay::Run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        if (m_journal.Depth() > 0)
            ReplayOnce();
        std::unique_lock lock(m_wakeMutex);
        m_wake.wait_for(lock, stop, kReplayPeriod, [this] { return m_woken; });
        m_woken = false;
    }
}

bool TJournalReplay::ReplayOnce()
{
    if (m_journal.Depth() == 0)
        return true;
    if (!m_connection->EnsureConnected())
        return false;
    // Every pass may be a new session: the journal's statements were rendered
    // by the SQLite rule (quotes doubled, backslashes as they are).
    TODBCStatement s(*m_db);
    if (const char* plain = m_db->Dialect().PlainBackslashes; plain && !s.Run(plain))
        return false;
    if (!s.Run(JournalTableSql()))
        return false;
    m_log.LogFmt("Journal replay started: %d entries", static_cast<int>(m_journal.Depth()));
    int applied = 0, skipped = 0;
    bool ok = true;
    for (auto batch = m_journal.Oldest(kReplayBatch); ok && !batch.empty(); batch = m_journal.Oldest(kReplayBatch)) {
        for (const TJournalEntry& e : batch) {
            bool wasBooked = false;
            ok = Apply(e, wasBooked) && m_journal.Remove(e.Sequence);
            if (!ok)
                break;
            ++(wasBooked ? skipped : applied);
        }
    }
    m_log.LogFmt("Journal replay ended: %d applied, %d already booked, %d left", applied, skipped,
                 static_cast<int>(m_journal.Depth()));
    return ok;
}

bool TJournalReplay::Apply(const TJournalEntry& e, bool& skipped)
{
    const TDbKind kind = m_db->Kind();
    const std::string key = "computer = " + Quoted(kind, e.Computer) + " and sequence = " + std::to_string(e.Sequence);
    TODBCStatement s(*m_db);
    const char* begin = m_db->Dialect().Begin;
    if (!s.Run(begin ? begin : "BEGIN"))
        return false;
    const bool booked = s.ExecSQL(std::string("SELECT 1 AS booked FROM ") + kJournalTable + " WHERE " + key);
    if (s.Failed()) {
        s.ExecSQL("ROLLBACK");
        return false;
    }
    if (booked) {
        skipped = true;
        s.Run("COMMIT");
        return true;
    }
    bool ok = true;
    // A write that meets no row (the row deleted since) is not a failure.
    for (const std::string& sql : e.Statements)
        if (ok)
            ok = s.Run(sql);
    ok = ok && s.Exec(std::string("INSERT INTO ") + kJournalTable + " (computer, sequence, decided_at, applied_at) VALUES (" +
                      Quoted(kind, e.Computer) + ", " + std::to_string(e.Sequence) + ", " +
                      DateTimeEscape(e.DecidedAt) + ", " + DateTimeEscape(platform::NowDateTime()) + ")");
    if (ok && s.Run("COMMIT"))
        return true;
    s.ExecSQL("ROLLBACK");
    m_log.LogFmt(config::TLevel::Error, "Journal entry %d of %s not replayed: %s", static_cast<int>(e.Sequence), e.Computer,
                 m_db->LastDiagnostic);
    return false;
}

} // namespace db
