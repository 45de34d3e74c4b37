#include "mail/MailSender.hpp"

#include "config/MessLog.hpp"
#include "platform/Metrics.hpp"

namespace mail {

TMailSender::TMailSender(config::TMessLog& log, TOptions options) : m_log(log), m_options(options)
{
    m_thread = std::jthread([this](std::stop_token stop) {
        platform::RunGuarded("mail sender", stop, [this](std::stop_token s) { Run(s); },
                             config::ThreadFailureLogger(m_log));
    });
}

TMailSender::~TMailSender()
{
    std::size_t dropped = 0;
    {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, m_options.ShutdownWait, [this] { return m_queue.empty() && !m_busy; });
        dropped = m_queue.size() + (m_busy ? 1 : 0);
        m_queue.clear();
    }
    m_thread.request_stop();
    m_thread.join();
    if (dropped > 0)
        m_log.Log("Mail: " + std::to_string(dropped) + " notice(s) not sent at shutdown", config::TLevel::Warning);
}

bool TMailSender::Post(TMail mail)
{
    {
        std::scoped_lock lock(m_lock);
        if (m_queue.size() < m_options.Capacity) {
            m_queue.push_back(std::move(mail));
            m_changed.notify_all();
            return true;
        }
    }
    m_log.Log("Mail queue full, notice to " + mail.Recipients + " dropped", config::TLevel::Warning);
    platform::Metrics().Add("velixcard_mail_dropped_total");
    return false;
}

std::size_t TMailSender::Queued()
{
    std::scoped_lock lock(m_lock);
    return m_queue.size();
}

void TMailSender::Run(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        TMail mail;
        {
            std::unique_lock lock(m_lock);
            if (!m_changed.wait(lock, stop, [this] { return !m_queue.empty(); }))
                return;
            mail = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
        }
        const std::string result =
            MailMessage(mail, m_options.Limits, [&stop] { return stop.stop_requested(); });
        // An empty list is the site's choice, not a failure worth a line per card.
        if (result == "Sent")
            platform::Metrics().Add("velixcard_mail_sent_total");
        if (result != "Sent" && result != "No one to send to!") {
            m_log.Log("Mail to " + mail.Recipients + " via " + mail.Server + " not sent: " + result, config::TLevel::Error);
            platform::Metrics().Add("velixcard_mail_failed_total");
        }
        std::scoped_lock lock(m_lock);
        m_busy = false;
        m_changed.notify_all();
    }
}

} // namespace mail
