#include "db/SqlWorker.hpp"

#include <sqlext.h>

namespace db {

TSqlWorker::TSqlWorker() : m_thread([this](std::stop_token stop) { Serve(stop); }) {}

TSqlWorker::~TSqlWorker()
{
    m_thread.request_stop();
    m_changed.notify_all();
}

SQLRETURN TSqlWorker::ExecDirect(SQLHSTMT stmt, const std::string& sql)
{
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
