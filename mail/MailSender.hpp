#pragma once

#include "mail/Mail.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>

namespace config {
class TMessLog;
}

namespace mail {

// Sends notices on a thread of its own, so that a slow or unreachable mail
// server never holds up the gates: the loop's worker only queues (under the
// lock the queue has).
class TMailSender {
public:
    struct TOptions {
        std::size_t Capacity = 100;  // queued notices; beyond it new ones are dropped
        TMailLimits Limits{};
        std::chrono::milliseconds ShutdownWait{3000};
    };

    TMailSender(config::TMessLog& log, TOptions options);
    // Waits up to ShutdownWait for the queue to empty, then ends the exchange
    // in progress and drops what is left (logged).
    ~TMailSender();
    TMailSender(const TMailSender&) = delete;
    TMailSender& operator=(const TMailSender&) = delete;

    // Never blocks. False, after logging, when the queue is full.
    bool Post(TMail mail);
    // Notices waiting for the sender thread (not counting the one it is sending).
    std::size_t Queued();

private:
    void Run(std::stop_token stop);

    config::TMessLog& m_log;
    const TOptions m_options;
    std::mutex m_lock;  // guards m_queue and m_busy
    std::condition_variable_any m_changed;
    std::deque<TMail> m_queue;
    bool m_busy = false;
    std::jthread m_thread;  // declared last: stopped and joined first
};

} // namespace mail
