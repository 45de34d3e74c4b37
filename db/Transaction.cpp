#include "db/Transaction.hpp"

#include "db/ODBC.hpp"

namespace db {

TTransaction::TTransaction(TODBC& database) noexcept : m_database(database)
{
    database.LostAtCommit = false;
    if (!database.Connected || !database.OneCommitPerDecision)
        return;
    if (const char* sql = database.Dialect().Begin) {
        TODBCStatement begin(database);
        m_open = begin.Exec(sql);
    }
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
