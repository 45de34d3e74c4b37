#pragma once

#include "db/ODBC.hpp"

namespace db {

class TODBC;

// The statements of one decision in one transaction, committed once when the
// guard goes, whatever path leaves the block; rolled back when the commit
// fails. A statement that fails inside is logged as always and undoes nothing
// else. Only on MySQL-family and SQLite connections (and while the binding's
// OneCommitPerDecision is set); others keep autocommit. Never throws.
class TTransaction {
public:
    explicit TTransaction(TODBC& database) noexcept;
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;

    bool Open() const noexcept { return m_open; }

private:
    TODBC& m_database;
    bool m_open = false;
};

// How often a transaction that lost to another one (a deadlock, or a
// certification conflict on a replicated cluster) runs again from the start.
inline constexpr int kConflictRetries = 3;

// Runs attempt, which opens its own TTransaction, and again while it lost to
// another transaction, up to kConflictRetries times: one answer, one booking.
// retried(n) is told of the n-th run again (for the log).
template <typename TAttempt, typename TRetried>
auto RunWithConflictRetry(TODBC& database, TAttempt&& attempt, TRetried&& retried)
{
    for (int retry = 0;; ++retry) {
        database.ConflictSeen = false;
        auto result = attempt();
        if (!database.ConflictSeen || retry == kConflictRetries)
            return result;
        retried(retry + 1);
    }
}

} // namespace db
