#pragma once

#include "config/ConnParams.hpp"
#include "platform/LocalTime.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace config {
class TMessLog;
}

namespace db {

class TODBC;
class TJournal;

// <home>/offline: the copy and the journal.
std::string OfflineFolder();

// Why the service's last refresh of the copy at copyPath failed, with its
// time ("2024-05-02 10:00:00: table card: ..."); nullopt when the last one
// worked or none was tried. For the operator commands, which run apart.
std::optional<std::string> LastRefreshProblem(const std::string& copyPath);

// The local copy of every row the decisions read, for deciding while the site
// database is away. Each refresh is one consistent read of the site: the
// ranges of rows whose counts and checksums differ from the copy's are read
// again and replaced in one SQLite transaction, so a reader sees the old copy
// or the new one, never half of one; a first copy (or one that no longer fits
// the site) is made in a new file put in place by rename. Its age is the time
// the read began.
class TOfflineCopy {
public:
    // deviceFilter: the condition on device rows of this computer's loops.
    TOfflineCopy(config::TOfflineParams params, std::string path, std::string deviceFilter, config::TMessLog& log);
    ~TOfflineCopy();
    TOfflineCopy(const TOfflineCopy&) = delete;
    TOfflineCopy& operator=(const TOfflineCopy&) = delete;

    // Rebuild: made afresh, whatever the ranges say.
    enum class TRefresh { ByRanges, Rebuild };
    // One refresh from the site database; a failure keeps the previous copy.
    // On the caller's thread; never throws.
    bool Refresh(TODBC& site, TRefresh how = TRefresh::ByRanges) noexcept;
    // The thread, on a connection of its own: a refresh at once, then every
    // OfflineRefreshMinutes. None while the journal holds decisions the site
    // database has not had (the copy would forget them), and one as soon as
    // the replay has emptied it; while there is no usable copy, the site is
    // tried every few seconds.
    void Start(const config::TConnParams& site, const TJournal* journal);

    // Whether decisions may use the copy now; why not when they may not.
    bool Usable(std::string* why = nullptr) const;
    // The time the copy's read began; 0 when there is none.
    platform::TDateTime ReadAt() const noexcept { return m_readAt; }
    const std::string& Path() const noexcept { return m_path; }
    const config::TOfflineParams& Params() const noexcept { return m_params; }
    // Rows in the copy, and read from the site by the last refresh.
    long long Rows() const noexcept { return m_rows; }
    long long RowsRead() const noexcept { return m_rowsRead; }

private:
    void Run(std::stop_token stop, config::TConnParams site);
    void ReadStoredAge();
    void Record(const std::string& problem);
    bool DecisionsPending() const;

    config::TOfflineParams m_params;
    std::string m_path;
    std::string m_deviceFilter;
    config::TMessLog& m_log;
    const TJournal* m_journal = nullptr;  // set by Start, before the thread
    bool m_integrityChecked = false;      // once a run: the file may have been left broken
    std::atomic<platform::TDateTime> m_readAt{0};
    std::atomic<long long> m_rows{0};
    std::atomic<long long> m_rowsRead{0};
    std::mutex m_stopMutex;
    std::condition_variable_any m_stopped;
    std::jthread m_thread;
};

} // namespace db
