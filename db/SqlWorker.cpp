#include "db/SqlWorker.hpp"

#include <sqlext.h>

#include <chrono>

namespace db {
namespace {

using TClock = std::chrono::steady_clock;

// Spins until pred holds or the time is up; true when it held. Every turn
// yields the core, so a database server on this machine is not held up.
template <typename TPred>
bool SpinFor(std::chrono::microseconds limit, TPred pred)
{
    const auto end = TClock::now() + limit;
    for (;;) {
        if (pred())
            return true;
        if (TClock::now() >= end)
            return false;
        std::this_thread::yield();
    }
}

} // namespace

TSqlWorker::TSqlWorker() : m_thread([this](std::stop_token stop) { Serve(stop); }) {}

TSqlWorker::~TSqlWorker()
{
    m_thread.request_stop();
    std::scoped_lock lock(m_lock);
    m_changed.notify_all();
}

SQLRETURN TSqlWorker::ExecDirect(SQLHSTMT stmt, const std::string& sql)
{
    m_stmt = stmt;
    m_sql = &sql;
    m_state.store(Posted, std::memory_order_release);
    {
        std::scoped_lock lock(m_lock);
        if (m_workerSleeping)
            m_changed.notify_all();
    }
    auto done = [this] { return m_state.load(std::memory_order_acquire) == Done; };
    if (!SpinFor(kCallerSpin, done)) {
        std::unique_lock lock(m_lock);
        m_callerSleeping = true;
        m_changed.wait(lock, done);
        m_callerSleeping = false;
    }
    const SQLRETURN rc = m_result;
    m_state.store(Idle, std::memory_order_relaxed);
    return rc;
}

void TSqlWorker::Serve(std::stop_token stop)
{
    auto posted = [this] { return m_state.load(std::memory_order_acquire) == Posted; };
    while (!stop.stop_requested()) {
        if (!SpinFor(kWorkerSpin, posted)) {
            std::unique_lock lock(m_lock);
            m_workerSleeping = true;
            const bool got = m_changed.wait(lock, stop, posted);
            m_workerSleeping = false;
            if (!got)
                return;
        }
        SQLRETURN rc = -1;
        try {
            rc = SQLExecDirect(m_stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(m_sql->c_str())), SQL_NTS);
        } catch (...) {
            rc = -1;
        }
        m_result = rc;
        m_state.store(Done, std::memory_order_release);
        std::scoped_lock lock(m_lock);
        if (m_callerSleeping)
            m_changed.notify_all();
    }
}

} // namespace db
