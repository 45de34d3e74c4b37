#include "config/MessLog.hpp"

#include "config/BuildVersion.hpp"
#include "platform/FileText.hpp"
#include "platform/Journal.hpp"
#include "platform/LocalTime.hpp"
#include "platform/Paths.hpp"

#include <cerrno>
#include <cstdio>
#include <thread>

namespace config {

std::string FileVersionText(bool zeroPadded)
{
    try {
        const char* part = zeroPadded ? "%.3d." : "%d.";
        std::string text = Format(part, kVersionMajor) + Format(part, kVersionMinor) +
                           Format(part, kVersionPatch) + Format(part, kVersionTweak);
        text.pop_back();
        return text;
    } catch (...) {
        return std::string();
    }
}

std::string VersionLine()
{
    return platform::ExecutablePath() + "   Version - " + FileVersionText();
}

TMessLog::TMessLog(std::string fileName, TOptions options, std::string openingMessage, TClock clock)
    : m_clock(clock ? std::move(clock) : TClock([] { return std::chrono::system_clock::now(); })),
      m_options(options)
{
    try {
        m_fileName = platform::AbsolutePath(fileName.empty() ? std::string("Messages.log") : std::move(fileName));
        platform::MakeFolders(platform::ParentFolder(m_fileName));
        if (m_options.Rotate) {
            m_periodNumber = PeriodNow();
            m_currentFile = LogFileName(m_periodNumber);
        } else {
            m_currentFile = m_fileName;
            if (m_options.DeleteOnNewPeriod && platform::FileExists(m_currentFile))
                platform::ForceDeleteFile(m_currentFile);
        }
        m_headerPending = !m_options.NoHeader;
        if (!openingMessage.empty()) {
            m_endMarker = true;
            Add(openingMessage);
        }
    } catch (...) {
    }
}

TMessLog::~TMessLog()
{
    try {
        std::scoped_lock lock(m_lock);
        WriteOut(m_endMarker ? "End Log" : "", TLevel::Info, TWhose::Everyone);
    } catch (...) {
    }
}

std::string TMessLog::Stamp() const
{
    const auto t = platform::ToLocal(m_clock());
    return Format("%.2d:%.2d:%.2d.%.3d %.2d/%.2d/%.2d", t.Hour, t.Minute, t.Second, t.Millisecond, t.Day,
                  t.Month, t.Year % 100);
}

int TMessLog::PeriodNow() const
{
    const auto t = platform::ToLocal(m_clock());
    return m_options.ByDayOfMonth ? t.Day : t.DayOfWeek;
}

std::string TMessLog::LogFileName(int period) const
{
    const auto slash = m_fileName.rfind('/');
    const auto dot = m_fileName.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExt ? m_fileName.substr(0, dot) : m_fileName;
    const std::string ext = hasExt ? m_fileName.substr(dot) : std::string();
    return Format("%s%d%s", stem, period, ext);
}

std::deque<TMessLog::TLine>& TMessLog::Mine()
{
    return m_pending[std::this_thread::get_id()];
}

void TMessLog::Append(std::string line, TLevel level)
{
    auto& mine = Mine();
    if (mine.size() >= kMaxPendingLines)
        mine.pop_front();
    mine.push_back({std::move(line), level, TLogLoop::Current()});
}

namespace {

platform::TJournalPriority PriorityOf(TLevel level)
{
    switch (level) {
    case TLevel::Error: return platform::TJournalPriority::Error;
    case TLevel::Warning: return platform::TJournalPriority::Warning;
    case TLevel::Info: break;
    }
    return platform::TJournalPriority::Info;
}

thread_local int t_loop = 0;

// A buffered line without its time stamp and line end: the journal keeps its own time.
void JournalCopy(std::string_view line, TLevel level, int loop)
{
    if (!platform::UnderSystemd())
        return;
    constexpr std::string_view kStampEnd = " - ";
    const auto at = line.find(kStampEnd);
    std::string_view text = at == std::string_view::npos ? line : line.substr(at + kStampEnd.size());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    platform::JournalLine(text, PriorityOf(level), loop);
}

} // namespace

TLogLoop::TLogLoop(int loopId) noexcept : m_previous(t_loop)
{
    t_loop = loopId;
}

TLogLoop::~TLogLoop()
{
    t_loop = m_previous;
}

int TLogLoop::Current() noexcept
{
    return t_loop;
}

void TMessLog::WriteOut(std::string_view direct, TLevel level, TWhose whose)
{
    std::vector<std::deque<TLine>*> batches;
    if (whose == TWhose::Everyone) {
        for (auto& [thread, lines] : m_pending)
            batches.push_back(&lines);
    } else {
        batches.push_back(&Mine());
    }
    const bool nothing = std::all_of(batches.begin(), batches.end(), [](const auto* b) { return b->empty(); });
    if (nothing && direct.empty())
        return;
    if (m_options.Rotate) {
        const int period = PeriodNow();
        if (period != m_periodNumber) {
            m_periodNumber = period;
            m_currentFile = LogFileName(period);
            if (m_options.DeleteOnNewPeriod && platform::FileExists(m_currentFile))
                platform::ForceDeleteFile(m_currentFile);
        }
    }
    // Opened first and made only when missing: one system call less on every line.
    platform::TAppendFile file;
    if (!file.Open(m_currentFile) && errno == ENOENT) {
        if (platform::CreateNewFile(m_currentFile))
            m_headerPending = !m_options.NoHeader;
        file.Open(m_currentFile);
    }
    if (!file.IsOpen()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(87));
        file.Open(m_currentFile);
    }
    if (!file.IsOpen())
        return;  // the pending lines wait for the next write-out; direct text is dropped
    std::string out;
    if (m_headerPending) {
        out += std::string(21, '.') + " - " + VersionLine() + "\r\n";
        m_headerPending = false;
    }
    for (auto* batch : batches) {
        for (const auto& line : *batch) {
            out += line.Text;
            JournalCopy(line.Text, line.Level, line.Loop);
        }
    }
    if (!direct.empty()) {
        out += Stamp() + " - " + std::string(direct) + "\r\n";
        platform::JournalLine(direct, PriorityOf(level), TLogLoop::Current());
    }
    file.Write(out);
    for (auto* batch : batches)
        batch->clear();
    std::erase_if(m_pending, [](const auto& entry) { return entry.second.empty(); });
}

void TMessLog::Log(std::string_view text, TLevel level) noexcept
{
    try {
        std::scoped_lock lock(m_lock);
        WriteOut(text, level);
    } catch (...) {
    }
}

int TMessLog::Add(std::string_view text, TLevel level) noexcept
{
    try {
        std::scoped_lock lock(m_lock);
        Append(Stamp() + " - " + std::string(text) + "\r\n", level);
        if (Mine().size() >= static_cast<std::size_t>(kAutoFlushLines)) {
            WriteOut(std::string_view());
            return -1;
        }
        return static_cast<int>(Mine().size()) - 1;
    } catch (...) {
        return -1;
    }
}

int TMessLog::AddQuiet(std::string_view text) noexcept
{
    try {
        std::scoped_lock lock(m_lock);
        Append(Stamp() + " - " + std::string(text) + "\r\n", TLevel::Info);
        return static_cast<int>(Mine().size()) - 1;
    } catch (...) {
        return -1;
    }
}

void TMessLog::LogFmtFailed(const std::exception& e, std::string_view format) noexcept
{
    try {
        const std::string reason = std::string(" - ") + e.what() + "  " + std::string(format);
        if (std::string_view(e.what()).substr(0, 16) == "Cannot open file") {
            AddQuiet("TMessLog Format() Exception!");
            AddQuiet(reason);
        } else {
            Log("TMessLog Format() Exception!", TLevel::Error);
            Log(reason, TLevel::Error);
        }
    } catch (...) {
    }
}

platform::TFailureReport ThreadFailureLogger(TMessLog& log)
{
    return [&log](const std::string& thread, const std::string& what) {
        log.Log("The " + thread + " thread failed (" + what + "); it starts again", TLevel::Error);
    };
}

std::string WithReason(std::string_view fixedText)
{
    try {
        throw;
    } catch (const std::exception& e) {
        std::string_view text = fixedText;
        while (!text.empty() && text.back() == ' ')
            text.remove_suffix(1);
        return std::string(text) + " (" + e.what() + ")";
    } catch (...) {
        return std::string(fixedText);
    }
}

std::string TMessLog::CurrentFile()
{
    std::scoped_lock lock(m_lock);
    return m_currentFile;
}

std::size_t TMessLog::PendingCount()
{
    std::scoped_lock lock(m_lock);
    std::size_t n = 0;
    for (const auto& [thread, lines] : m_pending)
        n += lines.size();
    return n;
}

} // namespace config
