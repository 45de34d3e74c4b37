#include "db/OfflineCopy.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "db/Journal.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/OfflineCopyRefresh.hpp"
#include "db/OfflineCopyTables.hpp"
#include "db/Sql.hpp"
#include "platform/FileText.hpp"
#include "platform/Metrics.hpp"
#include "platform/Paths.hpp"
#include "platform/SiteState.hpp"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace db {
namespace {

constexpr auto kRetryAfterFailure = std::chrono::minutes(1);
// Without a usable copy an outage would find none: the site is tried often.
constexpr auto kRetryWithoutCopy = std::chrono::seconds(10);
// How often the thread looks at the journal: the replay's end is followed at once.
constexpr auto kJournalLook = std::chrono::seconds(2);
// A large table's sums take the server seconds before their first row, longer
// than a MySQL-family connection's 5 s read time-out; a hung server still
// lets the thread go within this.
constexpr const char* kRefreshReadTimeout = "READ_TIMEOUT=30";

using TSteadyClock = std::chrono::steady_clock;

std::string ProblemPath(const std::string& copyPath)
{
    return copyPath + ".problem";
}

} // namespace

std::string OfflineFolder()
{
    return platform::HomeFolder() + "/offline";
}

std::optional<std::string> LastRefreshProblem(const std::string& copyPath)
{
    const auto text = platform::ReadWholeFile(ProblemPath(copyPath));
    if (!text || config::TrimText(*text).empty())
        return std::nullopt;
    return config::TrimText(*text);
}

TOfflineCopy::TOfflineCopy(config::TOfflineParams params, std::string path, std::string deviceFilter,
                           config::TMessLog& log)
    : m_params(params), m_path(std::move(path)), m_deviceFilter(std::move(deviceFilter)), m_log(log)
{
    ReadStoredAge();
}

TOfflineCopy::~TOfflineCopy()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_stopped.notify_all();
        m_thread.join();
    }
}

void TOfflineCopy::ReadStoredAge()
{
    std::error_code ec;
    if (!std::filesystem::exists(m_path, ec))
        return;
    TODBC copy;
    copy.ReportErrors = false;
    if (!ConnectLocalFile(copy, m_path, TLocalFile::Copy))
        return;
    TODBCStatement s(copy);
    // A corrupt file reads as no copy: the next refresh makes a new one.
    if (s.ExecSQL(std::string("SELECT read_at FROM ") + offline::kCopyInfoTable))
        m_readAt = s.AsDateTime("read_at");
}

bool TOfflineCopy::Usable(std::string* why) const
{
    const platform::TDateTime readAt = m_readAt;
    auto no = [&](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (readAt <= 0)
        return no("no offline copy");
    const double hours = (platform::NowDateTime() - readAt) * 24;
    if (hours >= m_params.MaxAgeHours)
        return no(config::Format("the offline copy is %.1f hours old (at most %d)", hours, m_params.MaxAgeHours));
    return true;
}

bool TOfflineCopy::DecisionsPending() const
{
    return m_journal && m_journal->Depth() > 0;
}

// The last refresh's failure, where the status listener and the operator
// commands find it; cleared by one that works.
void TOfflineCopy::Record(const std::string& problem)
{
    platform::SiteState().SetOfflineCopyProblem(problem);
    std::error_code ec;
    if (problem.empty()) {
        std::filesystem::remove(ProblemPath(m_path), ec);
        return;
    }
    platform::TReplaceFile file(ProblemPath(m_path));
    (void)(file.Write(DateTimeText(platform::NowDateTime()) + ": " + problem + "\n") && file.Commit());
}

bool TOfflineCopy::Refresh(TODBC& site, TRefresh how) noexcept
{
    try {
        const auto started = TSteadyClock::now();
        const offline::TRefreshRequest request{.Path = m_path,
                                               .DeviceFilter = m_deviceFilter,
                                               .ReadAt = platform::NowDateTime(),
                                               .Rebuild = how == TRefresh::Rebuild,
                                               .CheckIntegrity = !m_integrityChecked,
                                               .DecisionsPending = [this] { return DecisionsPending(); }};
        const offline::TRefreshOutcome outcome = offline::RefreshCopy(site, request, m_log);
        const double seconds = std::chrono::duration<double>(TSteadyClock::now() - started).count();
        platform::Metrics().Observe("velixcard_offline_refresh_seconds", {}, seconds);
        platform::Metrics().Add("velixcard_offline_refresh_rows_total", {}, static_cast<double>(outcome.RowsRead));
        if (outcome.Kind == offline::TRefreshOutcome::TKind::Failed) {
            platform::Metrics().Add("velixcard_offline_refresh_failures_total");
            m_log.Log("Offline copy not refreshed (" + outcome.Why + "); the previous copy stays", config::TLevel::Warning);
            Record(outcome.Why);
            return false;
        }
        m_integrityChecked = true;
        m_readAt = request.ReadAt;
        m_rows = outcome.CopyRows;
        m_rowsRead = outcome.RowsRead;
        if (outcome.Kind == offline::TRefreshOutcome::TKind::ByRanges)
            m_log.LogFmt("Offline copy refreshed: %s of %s ranges, %s rows in %.1f s",
                         offline::GroupedNumber(outcome.RangesRead), offline::GroupedNumber(outcome.Ranges),
                         offline::GroupedNumber(outcome.RowsRead), seconds);
        else
            m_log.LogFmt("Offline copy rebuilt (%s): %s rows in %.1f s", outcome.Why,
                         offline::GroupedNumber(outcome.RowsRead), seconds);
        Record("");
        return true;
    } catch (...) {
        m_log.Log(config::WithReason("Offline copy not refreshed (an exception); the previous copy stays"), config::TLevel::Error);
        return false;
    }
}

void TOfflineCopy::Start(const config::TConnParams& site, const TJournal* journal)
{
    m_journal = journal;
    m_thread = std::jthread([this, site](std::stop_token stop) {
        platform::RunGuarded("offline copy", stop, [&](std::stop_token s) { Run(s, site); },
                             config::ThreadFailureLogger(m_log));
    });
}

void TOfflineCopy::Run(std::stop_token stop, config::TConnParams site)
{
    if (DetectKind(site.ODBCDriver + " " + site.DSNName + " " + site.ODBCOptions, dkOther) == dkMySql &&
        config::UpperCase(site.ODBCOptions).find("READ_TIMEOUT") == std::string::npos)
        site.ODBCOptions += (site.ODBCOptions.empty() ? "" : ";") + std::string(kRefreshReadTimeout);
    TODBC database;
    database.BindColumns = true;
    const auto connection = MakeConnection(site, database, &m_log, "offline copy");
    const auto in = [](auto wait) {
        return TSteadyClock::now() + std::chrono::duration_cast<TSteadyClock::duration>(wait);
    };
    auto next = TSteadyClock::now();  // the first refresh at once
    bool journalled = false;          // the journal held entries since the last refresh
    while (!stop.stop_requested()) {
        if (DecisionsPending()) {
            if (!journalled)
                m_log.Log("Offline copy not refreshed: the journal holds decisions the site database has not had");
            journalled = true;
        } else if (journalled || TSteadyClock::now() >= next) {
            journalled = false;
            if (!connection->EnsureConnected())
                next = Usable() ? in(kRetryAfterFailure) : in(kRetryWithoutCopy);
            else
                next = Refresh(database) ? in(std::chrono::minutes(m_params.RefreshMinutes)) : in(kRetryAfterFailure);
        }
        const auto wait = std::clamp<TSteadyClock::duration>(next - TSteadyClock::now(), {}, kJournalLook);
        std::unique_lock lock(m_stopMutex);
        m_stopped.wait_for(lock, stop, wait, [] { return false; });
    }
}

} // namespace db
