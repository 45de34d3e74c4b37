// Deciding while the site database is away: against the local copy, with the
// decision's writes kept in the journal until the site database has them.
#include "access/AccessRules.hpp"
#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/OfflineCopy.hpp"
#include "loop/Loop.hpp"

namespace loop {

void TLoop::DecideWithoutDatabase(int reader, const std::string& data, const std::function<void()>& decide)
{
    if (!DecideOffline(decide))
        LowSecurityOpen(reader, data);
}

bool TLoop::DecideOffline(const std::function<void()>& decide)
{
    if (!Offline.Copy || !Offline.Journal || m_offlineActive)
        return false;
    std::string why;
    if (Offline.Journal->Full())
        why = "the offline journal is full";
    else
        Offline.Copy->Usable(&why);
    if (!why.empty()) {
        // Once per outage: every card of a long one would say the same.
        if (!m_offlineRefusalLogged)
            MessageLog.Log("No offline decisions: " + why, config::TLevel::Warning);
        m_offlineRefusalLogged = true;
        return false;
    }
    if (!m_offlineDb) {
        m_offlineDb = std::make_unique<db::TODBC>();
        m_offlineDb->MessageLog = &MessageLog;
        if (!db::ConnectLocalFile(*m_offlineDb, Offline.Copy->Path(), db::TLocalFile::Copy)) {
            MessageLog.Log("No offline decisions: the offline copy cannot be opened (" + m_offlineDb->LastDiagnostic + ")", config::TLevel::Error);
            m_offlineDb.reset();
            return false;
        }
    }
    // The writes go to the journal before the copy commits them, and so
    // before the gate is told: what the gate did is never lost.
    std::vector<std::string> writes;
    db::TODBC& copy = *m_offlineDb;
    auto keep = [&] {
        if (writes.empty())
            return;
        if (!Offline.Journal->Append(Offline.Computer, platform::NowDateTime(), writes))
            copy.ConnectionLost = true;  // answered as without a copy, from here on
        writes.clear();
    };
    copy.OnExec = [&](const std::string& sql) {
        if (sql == "COMMIT")
            keep();
        else if (db::IsWriteStatement(sql))
            writes.push_back(sql);
    };
    std::swap(m_database, m_offlineDb);
    m_offlineActive = true;
    try {
        decide();
    } catch (...) {
        MessageLog.Log(config::WithReason("Offline decision Exception!"), config::TLevel::Error);
    }
    m_offlineActive = false;
    std::swap(m_database, m_offlineDb);
    keep();
    copy.OnExec = nullptr;
    if (copy.ConnectionLost)
        m_offlineDb.reset();  // opened afresh for the next event
    return true;
}

void TLoop::LogOfflineDecision(const std::string& what, int reader, int result)
{
    if (m_offlineActive)
        MessageLog.Log(config::Format("Offline decision: %s at address %d, %s", what, reader,
                                      cardaccess::AccessResultText(result)));
}

} // namespace loop
