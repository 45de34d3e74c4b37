#pragma once

#include "platform/LocalTime.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace config {
class TConnParams;
class TMessLog;
}

namespace db {

class TODBC;

// The site table that books each replayed entry once: computer and sequence.
inline constexpr const char* kJournalTable = "velix_journal";
// Makes it where it is missing; the same text on MariaDB and SQLite.
std::string JournalTableSql();

// Whether a statement changes rows (INSERT, UPDATE, DELETE).
bool IsWriteStatement(std::string_view sql) noexcept;

// The writes of one decision that the site database did not get.
struct TJournalEntry {
    std::int64_t Sequence = 0;
    std::string Computer;
    platform::TDateTime DecidedAt = 0;
    std::vector<std::string> Statements;
};

// The durable journal of offline decisions: an SQLite file in WAL mode whose
// appends are synced before they return, so an entry survives a crash the
// moment the gate is told. Any thread: calls are serialised.
class TJournal {
public:
    TJournal(std::string path, int limit, config::TMessLog& log);
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    // The sequence number, or nullopt when the entry could not be made durable
    // (the journal full, the disk full, the file unusable): nothing was kept.
    std::optional<std::int64_t> Append(const std::string& computer, platform::TDateTime decidedAt,
                                       const std::vector<std::string>& statements);
    std::vector<TJournalEntry> Oldest(std::size_t count);
    bool Remove(std::int64_t sequence);
    std::size_t Depth() const noexcept { return m_depth; }
    bool Full() const noexcept { return m_depth >= static_cast<std::size_t>(m_limit); }
    platform::TDateTime OldestDecision();
    const std::string& Path() const noexcept { return m_path; }

private:
    bool OpenLocked();

    std::string m_path;
    int m_limit;
    config::TMessLog& m_log;
    std::mutex m_mutex;
    std::unique_ptr<TODBC> m_db;
    std::atomic<std::size_t> m_depth{0};
    bool m_warned = false;  // the 90 % warning, once until the journal drains
};

// Replays the journal into the site database, in order, on a thread and a
// connection of its own: each entry's writes and its velix_journal row in one
// transaction, an entry already booked skipped, so a crash or a lost
// connection mid-replay books nothing twice.
class TJournalReplay {
public:
    TJournalReplay(TJournal& journal, const config::TConnParams& site, config::TMessLog& log);
    ~TJournalReplay();
    TJournalReplay(const TJournalReplay&) = delete;
    TJournalReplay& operator=(const TJournalReplay&) = delete;

    // Replays what the journal holds now; false when the site database is
    // away or an entry failed (the rest waits for the next pass).
    bool ReplayOnce();
    // The thread: a pass every few seconds while the journal holds entries.
    void Start();
    void Wake();

private:
    bool Apply(const TJournalEntry& e, bool& skipped);
    void Run(std::stop_token stop);

    TJournal& m_journal;
    config::TMessLog& m_log;
    std::unique_ptr<TODBC> m_db;
    std::unique_ptr<class TODBCConn> m_connection;
    std::mutex m_wakeMutex;
    std::condition_variable_any m_wake;
    bool m_woken = false;
    std::jthread m_thread;
};

} // namespace db
