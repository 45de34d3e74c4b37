#pragma once

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

} // namespace db
