#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace db {

class TODBC;

namespace offline {

// A result column as the driver describes it.
struct TColumnInfo {
    std::string Name;
    int SqlType = 0;
    std::size_t Size = 0;  // characters for text, 0 when the driver gives none
    int Digits = 0;        // decimals of a fixed-point number
    bool Nullable = true;
};

// The rows of one query, each value as the driver's text byte for byte (not
// trimmed) or NULL: the copy must hold what the site holds. Fetched in blocks
// of rows where every column has a bounded size, else a value at a time.
// One thread at a time; a failure is reported to the connection (its log and
// LastDiagnostic) and ends the rows.
class TRawRows {
public:
    // Whole: every value read in full, whatever size the driver announces
    // (an expression's text of unknown length).
    enum class TFetch { Blocks, Whole };
    explicit TRawRows(TODBC& odbc);
    ~TRawRows();
    TRawRows(const TRawRows&) = delete;
    TRawRows& operator=(const TRawRows&) = delete;

    // Runs the query and describes its columns; false when it failed.
    [[nodiscard]] bool Open(const std::string& sql, TFetch fetch = TFetch::Blocks) noexcept;
    // The next row; false at the end and on a failure (Failed tells which).
    bool Next() noexcept;
    bool Failed() const noexcept { return m_failed; }
    const std::vector<TColumnInfo>& Columns() const noexcept { return m_columns; }
    bool IsNull(std::size_t column) const noexcept;
    std::string_view Text(std::size_t column) const noexcept;

private:
    struct TImpl;
    bool FetchBlock();
    bool FetchWhole();
    void Fail(const std::string& why);

    TODBC& m_odbc;
    std::unique_ptr<TImpl> m_impl;
    std::vector<TColumnInfo> m_columns;
    bool m_failed = false;
};

// The current row as an SQLite VALUES tuple, "('1','Ann',NULL)": text
// literals, which the copy's column types turn into numbers where they are
// numbers, so each value keeps the form the site gave it.
void AppendTuple(std::string& out, const TRawRows& rows);

// Tuples gathered into INSERT statements of bounded length: one statement per
// row costs more in parsing than the row's own work.
class TInsertBatch {
public:
    // head: "INSERT INTO card (a,b) VALUES "
    TInsertBatch(TODBC& copy, std::string head);
    [[nodiscard]] bool Add(std::string_view tuple);
    [[nodiscard]] bool Flush();

private:
    static constexpr std::size_t kStatementBytes = 256 * 1024;
    TODBC& m_copy;
    std::string m_head;
    std::string m_sql;
    bool m_empty = true;
};

} // namespace offline
} // namespace db
