#pragma once

#include <sql.h>

#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace db {

// The thread that runs SQLExecDirect for one connection while the caller waits
// for the return code. Kept for the life of the connection object, so a
// statement costs a hand-over, not a thread start. One caller at a time.
class TSqlWorker {
public:
    TSqlWorker();
    ~TSqlWorker();
    TSqlWorker(const TSqlWorker&) = delete;
    TSqlWorker& operator=(const TSqlWorker&) = delete;

    // Blocks until the worker has run the statement; -1 when the call raised.
    SQLRETURN ExecDirect(SQLHSTMT stmt, const std::string& sql);

private:
    void Serve(std::stop_token stop);

    std::mutex m_lock;
    std::condition_variable_any m_changed;
    SQLHSTMT m_stmt = nullptr;
    const std::string* m_sql = nullptr;
    SQLRETURN m_result = 0;
    bool m_pending = false;
    bool m_done = false;
    int m_cpu = -1;  // the core the worker is held on
    std::jthread m_thread;  // declared last: stopped and joined first
};

} // namespace db
