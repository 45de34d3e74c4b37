#include "db/OfflineCopyRefresh.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopyRebuild.hpp"
#include "db/OfflineCopySums.hpp"
#include "db/OfflineCopyTables.hpp"
#include "db/Sql.hpp"

#include <filesystem>
#include <map>
#include <thread>

namespace db::offline {
namespace {

// Ranges read (and replaced) by one statement.
constexpr std::size_t kRangesPerStatement = 500;
// Reading fewer rows again than this never makes a rebuild.
constexpr long long kFewRows = 1000LL * kRangeRows;

using TKind = TRefreshOutcome::TKind;

// Changes with every commit another connection makes to the copy.
long long DataVersion(TODBC& copy)
{
    TODBCStatement s(copy);
    return s.ExecSQL("SELECT data_version FROM pragma_data_version") ? s.AsInteger("data_version") : -1;
}

// The ranges of one table: their bounds from the copy, the sums of both
// sides, those that differ and their rows as the site has them.
struct TTableRanges {
    TCopyTable* Table = nullptr;
    std::vector<std::string> Bounds;
    TRangeMap Copy, Site;
    std::vector<int> Changed;
    std::vector<std::string> Tuples;
};

// The changed ranges in statements of kRangesPerStatement.
template <typename TEach>
bool ForEachBatch(const TTableRanges& t, TDbKind dialect, TEach each)
{
    for (std::size_t at = 0; at < t.Changed.size(); at += kRangesPerStatement) {
        const std::vector<int> batch(t.Changed.begin() + static_cast<std::ptrdiff_t>(at),
                                     t.Changed.begin() + static_cast<std::ptrdiff_t>(
                                                             std::min(at + kRangesPerStatement, t.Changed.size())));
        if (!each(RangesPredicate(*t.Table, t.Bounds, batch, dialect)))
            return false;
    }
    return true;
}

class TRefresh {
public:
    TRefresh(TODBC& site, const TRefreshRequest& request, config::TMessLog& log)
        : m_site(site), m_request(request), m_log(log), m_dialect(site.Kind())
    {
    }
    TRefreshOutcome Run();

private:
    enum class TStep { Done, Rebuild, Failed };
    TStep Fail(std::string why)
    {
        m_outcome.Why = std::move(why);
        return TStep::Failed;
    }
    TStep RebuildFor(std::string why)
    {
        m_rebuildWhy = std::move(why);
        return TStep::Rebuild;
    }
    std::string SiteProblem() const { return "the site database: " + m_site.LastDiagnostic; }

    bool BeginSnapshot();
    void EndSnapshot();
    TStep DescribeTables();
    TStep CheckCopy(TODBC& copy);
    TStep ByRanges();
    TStep Compare(TODBC& copy, std::vector<TTableRanges>& work, long long& version);
    TStep Judge(std::vector<TTableRanges>& work);
    TStep ReadChanged(std::vector<TTableRanges>& work);
    TStep Apply(TODBC& copy, std::vector<TTableRanges>& work, long long version);
    bool Pending() const { return m_request.DecisionsPending && m_request.DecisionsPending(); }

    TODBC& m_site;
    const TRefreshRequest& m_request;
    config::TMessLog& m_log;
    const TDbKind m_dialect;
    std::vector<TCopyTable> m_tables;
    std::string m_rebuildWhy;
    TRefreshOutcome m_outcome;
};

bool TRefresh::BeginSnapshot()
{
    TODBCStatement s(m_site);
    // A cluster node answers from what it has applied: the snapshot waits
    // until it has caught up with the cluster.
    if (m_site.IsClusterNode() && !s.Run("SET SESSION wsrep_sync_wait = @@wsrep_sync_wait | 1"))
        return false;
    if (m_dialect == dkMySql && !s.Run("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ"))
        return false;
    return s.Run(m_site.Dialect().ConsistentSnapshot);
}

void TRefresh::EndSnapshot()
{
    TODBCStatement s(m_site);
    s.ExecSQL(m_dialect == dkMySql ? "COMMIT" : "ROLLBACK");
}

TRefresh::TStep TRefresh::DescribeTables()
{
    for (auto& table : CopiedTables(m_dialect, m_request.DeviceFilter, m_request.ReadAt)) {
        if (!DescribeSite(m_site, table)) {
            // Tables only written offline may be missing, as they are online.
            if (!table.Rows && !m_site.ConnectionLost)
                continue;
            return Fail("table " + table.Name + ": " + m_site.LastDiagnostic);
        }
        if (!table.Columns.empty())
            m_tables.push_back(std::move(table));
    }
    return TStep::Done;
}

// Whether the copy on file can be refreshed by ranges, and why not.
TRefresh::TStep TRefresh::CheckCopy(TODBC& copy)
{
    std::error_code ec;
    if (!std::filesystem::exists(m_request.Path, ec))
        return RebuildFor("no copy yet");
    if (m_dialect == dkOther)
        return RebuildFor("the site database cannot checksum ranges");
    if (!ConnectLocalFile(copy, m_request.Path, TLocalFile::Copy))
        return RebuildFor("the copy cannot be opened: " + copy.LastDiagnostic);
    TODBCStatement s(copy);
    if (!s.Run(std::string("SELECT read_at FROM ") + kCopyInfoTable))
        return RebuildFor("the copy cannot be read: " + copy.LastDiagnostic);
    if (m_request.CheckIntegrity &&
        !(s.ExecSQL("SELECT quick_check FROM pragma_quick_check(1)") && s.AsString("quick_check") == "ok"))
        return RebuildFor("the copy fails its integrity check");
    std::map<std::string, std::string> shapes;
    bool read = s.ExecSQL(std::string("SELECT name, shape FROM ") + kCopyTablesTable);
    if (s.Failed())
        return RebuildFor("the copy was made by an earlier version");
    for (; read; read = s.Next())
        shapes[s.AsString("name")] = s.AsString("shape");
    for (const auto& table : m_tables) {
        const auto stored = shapes.find(table.Name);
        if (stored == shapes.end() || stored->second != table.Shape())
            return RebuildFor("the columns of table " + table.Name + " changed");
        shapes.erase(stored);
    }
    if (!shapes.empty())
        return RebuildFor("the site has no table " + shapes.begin()->first + " any more");
    return TStep::Done;
}

TRefresh::TStep TRefresh::Compare(TODBC& copy, std::vector<TTableRanges>& work, long long& version)
{
    TODBCStatement s(copy);
    // One read of the copy: its bounds and sums belong together.
    if (!s.Run("BEGIN"))
        return RebuildFor("the copy cannot be read: " + copy.LastDiagnostic);
    version = DataVersion(copy);
    for (auto& w : work) {
        if (w.Table->Key < 0)
            continue;
        TRawRows bounds(copy);
        if (!bounds.Open(BoundsSql(*w.Table), TRawRows::TFetch::Whole) || !bounds.Next()) {
            s.ExecSQL("ROLLBACK");
            return RebuildFor("the copy cannot compute checksums: " + copy.LastDiagnostic);
        }
        w.Bounds = SplitBounds(bounds.Text(0));
    }
    // The copy's sums on a thread of their own while the site computes its own.
    bool copyOk = true, siteOk = true;
    {
        std::jthread local([&] {
            for (auto& w : work)
                copyOk = copyOk && ReadSums(copy, LocalSumsSql(*w.Table, w.Bounds, m_dialect, false), w.Copy);
        });
        for (auto& w : work) {
            const std::string sql = m_dialect == dkMySql ? MySqlSumsSql(*w.Table, w.Bounds)
                                                                 : LocalSumsSql(*w.Table, w.Bounds, m_dialect, true);
            siteOk = siteOk && ReadSums(m_site, sql, w.Site);
        }
    }
    s.ExecSQL("ROLLBACK");
    if (!copyOk)
        return RebuildFor("the copy cannot compute checksums: " + copy.LastDiagnostic);
    if (!siteOk && m_site.ConnectionLost)
        return Fail(SiteProblem());
    if (!siteOk)
        return RebuildFor("the site database cannot checksum ranges: " + m_site.LastDiagnostic);
    return TStep::Done;
}

TRefresh::TStep TRefresh::Judge(std::vector<TTableRanges>& work)
{
    long long changedRows = 0, siteRows = 0;
    for (auto& w : work) {
        std::map<int, bool> ranges;
        for (const auto& [r, sums] : w.Copy)
            ranges[r] = true;
        for (const auto& [r, sums] : w.Site) {
            ranges[r] = true;
            siteRows += sums.Rows;
        }
        for (const auto& [r, unused] : ranges) {
            const auto c = w.Copy.find(r), s = w.Site.find(r);
            if (c != w.Copy.end() && s != w.Site.end() && c->second == s->second)
                continue;
            w.Changed.push_back(r);
            changedRows += s != w.Site.end() ? s->second.Rows : 0;
        }
        m_outcome.Ranges += static_cast<long long>(ranges.size());
        m_outcome.RangesRead += static_cast<long long>(w.Changed.size());
    }
    m_outcome.CopyRows = siteRows;
    if (m_outcome.RangesRead * 2 > m_outcome.Ranges)
        return RebuildFor(GroupedNumber(m_outcome.RangesRead) + " of " + GroupedNumber(m_outcome.Ranges) +
                          " ranges changed");
    if (changedRows > kFewRows && changedRows * 2 > siteRows)
        return RebuildFor(GroupedNumber(changedRows) + " of " + GroupedNumber(siteRows) + " rows changed");
    return TStep::Done;
}

TRefresh::TStep TRefresh::ReadChanged(std::vector<TTableRanges>& work)
{
    const TDbKind quoting = m_dialect == dkMySql ? dkMySql : dkSQLite;
    for (auto& w : work) {
        const bool ok = ForEachBatch(w, quoting, [&](const std::string& predicate) {
            TRawRows rows(m_site);
            if (!rows.Open(SiteSelectSql(*w.Table, m_dialect, predicate)))
                return false;
            while (rows.Next()) {
                w.Tuples.emplace_back();
                AppendTuple(w.Tuples.back(), rows);
                ++m_outcome.RowsRead;
            }
            return !rows.Failed();
        });
        if (!ok)
            return Fail("table " + w.Table->Name + ": " + m_site.LastDiagnostic);
    }
    return TStep::Done;
}

TRefresh::TStep TRefresh::Apply(TODBC& copy, std::vector<TTableRanges>& work, long long version)
{
    TODBCStatement s(copy);
    if (!s.Run("BEGIN IMMEDIATE"))
        return Fail("the copy cannot be written: " + copy.LastDiagnostic);
    // A decision made from the copy meanwhile is in it but not at the site yet.
    if (DataVersion(copy) != version || Pending()) {
        s.ExecSQL("ROLLBACK");
        return Fail("decisions were made from the copy during the refresh");
    }
    bool ok = true;
    for (auto& w : work) {
        ok = ok && ForEachBatch(w, dkSQLite, [&](const std::string& predicate) {
                 TODBCStatement d(copy);
                 return d.Run("DELETE FROM " + w.Table->Name + " WHERE " + predicate);
             });
        TInsertBatch insert(copy, CopyInsertHead(*w.Table));
        for (std::size_t i = 0; ok && i < w.Tuples.size(); ++i)
            ok = insert.Add(w.Tuples[i]);
        ok = ok && insert.Flush();
    }
    ok = ok &&
         s.Run(std::string("UPDATE ") + kCopyInfoTable + " SET read_at = '" + DateTimeText(m_request.ReadAt) + "'") &&
         s.Run("COMMIT");
    if (ok)
        return TStep::Done;
    const std::string why = copy.LastDiagnostic;
    s.ExecSQL("ROLLBACK");
    return RebuildFor("the copy could not take the site's rows: " + why);
}

TRefresh::TStep TRefresh::ByRanges()
{
    TODBC copy;
    copy.MessageLog = &m_log;
    if (const TStep step = CheckCopy(copy); step != TStep::Done)
        return step;
    std::vector<TTableRanges> work;
    for (auto& table : m_tables)
        if (table.Rows)
            work.emplace_back().Table = &table;
    long long version = 0;
    if (const TStep step = Compare(copy, work, version); step != TStep::Done)
        return step;
    if (const TStep step = Judge(work); step != TStep::Done)
        return step;
    if (const TStep step = ReadChanged(work); step != TStep::Done)
        return step;
    return Apply(copy, work, version);
}

TRefreshOutcome TRefresh::Run()
{
    if (!BeginSnapshot()) {
        m_outcome.Why = SiteProblem();
        EndSnapshot();
        return m_outcome;
    }
    TStep step = DescribeTables();
    if (step == TStep::Done)
        step = m_request.Rebuild ? RebuildFor("asked for") : ByRanges();
    if (step == TStep::Done)
        m_outcome.Kind = TKind::ByRanges;
    if (step == TStep::Rebuild) {
        m_outcome = TRefreshOutcome{};
        std::string failure;
        if (RebuildCopy(m_site, m_tables, m_request, m_log, m_outcome.RowsRead, failure)) {
            m_outcome.Kind = TKind::Rebuilt;
            m_outcome.Why = m_rebuildWhy;
            m_outcome.CopyRows = m_outcome.RowsRead;
        } else {
            m_outcome.Why = failure;
        }
    }
    EndSnapshot();
    return m_outcome;
}

} // namespace

TRefreshOutcome RefreshCopy(TODBC& site, const TRefreshRequest& request, config::TMessLog& log) noexcept
{
    try {
        return TRefresh(site, request, log).Run();
    } catch (const std::exception& e) {
        return TRefreshOutcome{.Why = std::string("an exception: ") + e.what()};
    } catch (...) {
        return TRefreshOutcome{.Why = "an exception"};
    }
}

std::string GroupedNumber(long long n)
{
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return (n < 0 ? "-" : "") + digits;
}

} // namespace db::offline
