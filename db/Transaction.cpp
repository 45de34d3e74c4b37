#include "db/Transaction.hpp"

#include "db/ODBC.hpp"

namespace db {

TTransaction::TTransaction(TODBC& database) noexcept : m_database(database)
{
    if (!database.Connected || !database.OneCommitPerDecision)
        return;
    TODBCStatement begin(database);
    if (database.Kind() == dkMySql)
        m_open = begin.Exec("START TRANSACTION");
    else if (database.IsSQLite())
        // Immediate: the write lock is taken now, so the reads that come first
        // cannot pin a snapshot that another connection's write makes stale.
        m_open = begin.Exec("BEGIN IMMEDIATE");
}

TTransaction::~TTransaction()
{
    if (!m_open)
        return;
    // Ended by statement, as it was begun: with autocommit on, the SQLite
    // driver's SQLEndTran reports success and leaves the transaction open.
    TODBCStatement end(m_database);
    if (!end.Exec("COMMIT"))
        end.ExecSQL("ROLLBACK");
}

} // namespace db
