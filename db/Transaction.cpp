#include "db/Transaction.hpp"

#include "db/ODBC.hpp"

namespace db {

TTransaction::TTransaction(TODBC& database) noexcept : m_database(database)
{
    database.LostAtCommit = false;
    if (!database.Connected || !database.OneCommitPerDecision)
        return;
    TODBCStatement begin(database);
    if (database.Kind() == dkMySql)
        m_open = begin.Exec("START TRANSACTION");
    else if (database.IsSQLite())
        // Immediate: the write lock is taken now, so the reads that come first
        // cannot pin a snapshot that another connection's write makes stale.
        m_open = begin.Exec("BEGIN IMMEDIATE");
    database.InTransaction = m_open;
}

TTransaction::~TTransaction()
{
    if (!m_open)
        return;
    // Ended by statement, as it was begun: with autocommit on, the SQLite
    // driver's SQLEndTran reports success and leaves the transaction open.
    TODBCStatement end(m_database);
    const bool lostBefore = m_database.ConnectionLost;
    if (!end.Exec("COMMIT")) {
        m_database.LostAtCommit = m_database.ConnectionLost && !lostBefore;
        end.ExecSQL("ROLLBACK");
    }
    m_database.InTransaction = false;
}

} // namespace db
