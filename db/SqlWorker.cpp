#include "db/SqlWorker.hpp"

#include <sqlext.h>

#include <pthread.h>
#include <sched.h>

namespace db {

TSqlWorker::TSqlWorker() : m_thread([this](std::stop_token stop) { Serve(stop); }) {}

TSqlWorker::~TSqlWorker()
{
    m_thread.request_stop();
    m_changed.notify_all();
}

SQLRETURN TSqlWorker::ExecDirect(SQLHSTMT stmt, const std::string& sql)
{
    // Keep the worker on the caller's core: the caller only waits, and the
    // driver's data (for SQLite the whole parsed schema) stays in that core's
    // cache. On another core a statement cost about twice as much.
    const int cpu = ::sched_getcpu();
    if (cpu >= 0 && cpu != m_cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        if (::pthread_setaffinity_np(m_thread.native_handle(), sizeof set, &set) == 0)
            m_cpu = cpu;
    }
    std::unique_lock lock(m_lock);
    m_stmt = stmt;
    m_sql = &sql;
    m_done = false;
    m_pending = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_done; });
    return m_result;
}

void TSqlWorker::Serve(std::stop_token stop)
{
    std::unique_lock lock(m_lock);
    for (;;) {
        if (!m_changed.wait(lock, stop, [this] { return m_pending; }))
            return;
        m_pending = false;
        SQLHSTMT stmt = m_stmt;
        const std::string* sql = m_sql;
        lock.unlock();
        SQLRETURN rc = -1;
        try {
            rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql->c_str())), SQL_NTS);
        } catch (...) {
            rc = -1;
        }
        lock.lock();
        m_result = rc;
        m_done = true;
        m_changed.notify_all();
    }
}

} // namespace db
