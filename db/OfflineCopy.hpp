#pragma once

#include "config/ConnParams.hpp"
#include "platform/LocalTime.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
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

// The local copy of every row the decisions read, for deciding while the site
// database is away. Made from the site database in one consistent read, into
// a new file put in place by rename, so a reader sees the old copy or the new
// one, never half of one. Its age is the time the read began.
class TOfflineCopy {
public:
    // deviceFilter: the condition on device rows of this computer's loops.
    TOfflineCopy(config::TOfflineParams params, std::string path, std::string deviceFilter, config::TMessLog& log);
    ~TOfflineCopy();
    TOfflineCopy(const TOfflineCopy&) = delete;
    TOfflineCopy& operator=(const TOfflineCopy&) = delete;

    // One refresh from the site database; a failure keeps the previous copy.
    bool Refresh(TODBC& site);
    // The thread: a refresh at once, then every OfflineRefreshMinutes, on a
    // connection of its own; skipped while the journal holds decisions the
    // site database has not had (a fresh copy would forget them).
    void Start(const config::TConnParams& site, const TJournal* journal);

    // Whether decisions may use the copy now; why not when they may not.
    bool Usable(std::string* why = nullptr) const;
    // The time the copy's read began; 0 when there is none.
    platform::TDateTime ReadAt() const noexcept { return m_readAt; }
    const std::string& Path() const noexcept { return m_path; }
    const config::TOfflineParams& Params() const noexcept { return m_params; }
    long long Rows() const noexcept { return m_rows; }

private:
    void Run(std::stop_token stop, config::TConnParams site, const TJournal* journal);
    void ReadStoredAge();

    config::TOfflineParams m_params;
    std::string m_path;
    std::string m_deviceFilter;
    config::TMessLog& m_log;
    std::atomic<platform::TDateTime> m_readAt{0};
    std::atomic<long long> m_rows{0};
    std::mutex m_stopMutex;
    std::condition_variable_any m_stopped;
    std::jthread m_thread;
};

} // namespace db
