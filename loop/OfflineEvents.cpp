// Deciding while the site database is away: against the local copy, with the
// decision's writes kept in the journal until the site database has them.
#include "access/AccessRules.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopy.hpp"
#include "loop/LoopEvents.hpp"

namespace loop {
namespace {

// The writes of one decision on the copy go to the journal before the copy
// commits them, and so before the gate is told: what the gate did is never
// lost. For the length of one decision.
class TJournalSession {
public:
    TJournalSession(db::TODBC& copy, db::TJournal& journal, std::string computer)
        : m_copy(copy), m_journal(journal), m_computer(std::move(computer))
    {
        m_copy.OnExec = [this](const std::string& sql) {
            if (sql == "COMMIT")
                Keep();
            else if (db::IsWriteStatement(sql))
                m_writes.push_back(sql);
        };
    }
    ~TJournalSession()
    {
        Keep();
        m_copy.OnExec = nullptr;
    }
    TJournalSession(const TJournalSession&) = delete;
    TJournalSession& operator=(const TJournalSession&) = delete;

private:
    void Keep()
    {
        if (m_writes.empty())
            return;
        if (!m_journal.Append(m_computer, platform::NowDateTime(), m_writes))
            m_copy.ConnectionLost = true;  // answered as without a copy, from here on
        m_writes.clear();
    }

    db::TODBC& m_copy;
    db::TJournal& m_journal;
    std::string m_computer;
    std::vector<std::string> m_writes;
};

} // namespace

void TLoopEvents::DecideWithoutDatabase(int reader, const std::string& data, const TDecide& decide)
{
    if (!DecideOffline(decide))
        LowSecurityOpen(reader, data);
}

bool TLoopEvents::DecideOffline(const TDecide& decide)
{
    const TOfflineLinks& offline = m_c.Config.Offline;
    if (!offline.Copy || !offline.Journal)
        return false;
    std::string why;
    if (offline.Journal->Full())
        why = "the offline journal is full";
    else
        offline.Copy->Usable(&why);
    if (!why.empty()) {
        // Once per outage: every card of a long one would say the same.
        if (!m_offlineRefusalLogged)
            m_c.Log.Log("No offline decisions: " + why, config::TLevel::Warning);
        m_offlineRefusalLogged = true;
        return false;
    }
    if (!m_copy) {
        m_copy = std::make_unique<db::TODBC>();
        m_copy->MessageLog = &m_c.Log;
        if (!db::ConnectLocalFile(*m_copy, offline.Copy->Path(), db::TLocalFile::Copy)) {
            m_c.Log.Log("No offline decisions: the offline copy cannot be opened (" + m_copy->LastDiagnostic + ")",
                        config::TLevel::Error);
            m_copy.reset();
            return false;
        }
    }
    {
        const TJournalSession session(*m_copy, *offline.Journal, offline.Computer);
        try {
            decide(db::TTarget{*m_copy, true});
        } catch (...) {
            m_c.Log.Log(config::WithReason("Offline decision Exception!"), config::TLevel::Error);
        }
    }
    if (m_copy->ConnectionLost)
        m_copy.reset();  // opened afresh for the next event
    return true;
}

void TLoopEvents::LogOfflineDecision(const db::TTarget& to, const std::string& what, int reader, int result)
{
    if (to.Journalled)
        m_c.Log.Log(config::Format("Offline decision: %s at address %d, %s", what, reader,
                                   cardaccess::AccessResultText(result)));
}

} // namespace loop
