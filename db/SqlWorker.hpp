#pragma once

#include <sql.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace db {

// The thread that runs SQLExecDirect for one connection while the caller waits
// for the return code. Kept for the life of the connection object. Both sides
// spin briefly before they sleep: a sleep and wake-up costs tens of
// microseconds on a loaded or virtual machine, while the statements of one
// decision follow each other closely. One caller at a time.
class TSqlWorker {
public:
    TSqlWorker();
    ~TSqlWorker();
    TSqlWorker(const TSqlWorker&) = delete;
    TSqlWorker& operator=(const TSqlWorker&) = delete;

    // Blocks until the worker has run the statement; -1 when the call raised.
    SQLRETURN ExecDirect(SQLHSTMT stmt, const std::string& sql);

    static constexpr std::chrono::microseconds kCallerSpin{3000};
    static constexpr std::chrono::microseconds kWorkerSpin{300};

private:
    enum TState : int { Idle = 0, Posted = 1, Done = 2 };
    void Serve(std::stop_token stop);

    std::atomic<int> m_state{Idle};
    SQLHSTMT m_stmt = nullptr;
    const std::string* m_sql = nullptr;
    SQLRETURN m_result = 0;
    std::mutex m_lock;
    std::condition_variable_any m_changed;
    bool m_workerSleeping = false;  // guarded by m_lock
    bool m_callerSleeping = false;  // guarded by m_lock
    std::jthread m_thread;          // declared last: stopped and joined first
};

} // namespace db
