#pragma once

#include "config/Format.hpp"
#include "config/LogLevel.hpp"
#include "platform/ThreadGuard.hpp"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace config {

// The service's text log: time-stamped lines buffered in memory and appended
// to a file that is opened once per write-out and closed again, rotated by
// period. Every entry point is thread-safe and never throws.
class TMessLog {
public:
    using TClock = std::function<std::chrono::system_clock::time_point()>;

    struct TOptions {
        bool DeleteOnNewPeriod = false;
        bool Rotate = false;
        bool ByDayOfMonth = false;
        bool NoHeader = false;
    };

    // A non-empty opening message is added at once and "End Log" is written at
    // destruction. clock serves tests; it defaults to the system clock.
    TMessLog(std::string fileName, TOptions options, std::string openingMessage = "Start Log",
             TClock clock = {});
    ~TMessLog();
    TMessLog(const TMessLog&) = delete;
    TMessLog& operator=(const TMessLog&) = delete;

    // Writes out the calling thread's pending lines, then text as a new line;
    // an empty text only writes out.
    void Log(std::string_view text, TLevel level = TLevel::Info) noexcept;
    // Formats outside the lock; a format that does not fit its arguments logs
    // "TMessLog Format() Exception!" and the reason instead.
    template <typename... TArgs>
    void LogFmt(std::string_view format, const TArgs&... args) noexcept;
    template <typename... TArgs>
    void LogFmt(TLevel level, std::string_view format, const TArgs&... args) noexcept;
    // Buffers a line; the 250th pending line writes everything out. Returns the
    // line's index, or -1 when it wrote out. For the lines of one piece of work
    // that a Log at its end writes out together.
    int Add(std::string_view text, TLevel level = TLevel::Info) noexcept;
    template <typename... TArgs>
    void AddFmt(std::string_view format, const TArgs&... args) noexcept;
    template <typename... TArgs>
    void AddFmt(TLevel level, std::string_view format, const TArgs&... args) noexcept;
    // Buffers a line and never writes out by itself.
    int AddQuiet(std::string_view text) noexcept;

    std::string CurrentFile();
    std::size_t PendingCount();

    static constexpr int kAutoFlushLines = 250;
    // Lines kept while the file cannot be opened; older ones are dropped first.
    static constexpr std::size_t kMaxPendingLines = 20000;

private:
    void LogFmtFailed(const std::exception& e, std::string_view format) noexcept;
    // The formatted text, or nullopt after logging why the format did not fit.
    template <typename... TArgs>
    std::optional<std::string> Formatted(std::string_view format, const TArgs&... args) noexcept;
    std::string Stamp() const;
    int PeriodNow() const;
    std::string LogFileName(int period) const;
    struct TLine {
        std::string Text;  // stamped, with its line end
        TLevel Level = TLevel::Info;
        int Loop = 0;      // the loop whose work logged it; 0 for none
    };
    // Each thread's lines wait apart from the others', so that the lines of one
    // piece of work (a decision on a loop's worker) are written out together,
    // never interleaved with another loop's. A write-out takes the calling
    // thread's, or at the end everyone's.
    enum class TWhose { Mine, Everyone };
    void WriteOut(std::string_view direct, TLevel level = TLevel::Info, TWhose whose = TWhose::Mine);
    void Append(std::string line, TLevel level);
    std::deque<TLine>& Mine();

    std::recursive_mutex m_lock;
    TClock m_clock;
    std::string m_fileName;
    std::string m_currentFile;
    TOptions m_options;
    int m_periodNumber = 0;
    bool m_endMarker = false;
    bool m_headerPending = true;
    std::map<std::thread::id, std::deque<TLine>> m_pending;
};

template <typename... TArgs>
std::optional<std::string> TMessLog::Formatted(std::string_view format, const TArgs&... args) noexcept
{
    try {
        return Format(format, args...);
    } catch (const std::exception& e) {
        LogFmtFailed(e, format);
    } catch (...) {
    }
    return std::nullopt;
}

template <typename... TArgs>
void TMessLog::LogFmt(std::string_view format, const TArgs&... args) noexcept
{
    LogFmt(TLevel::Info, format, args...);
}

template <typename... TArgs>
void TMessLog::LogFmt(TLevel level, std::string_view format, const TArgs&... args) noexcept
{
    if (const auto text = Formatted(format, args...))
        Log(*text, level);
}

template <typename... TArgs>
void TMessLog::AddFmt(std::string_view format, const TArgs&... args) noexcept
{
    AddFmt(TLevel::Info, format, args...);
}

template <typename... TArgs>
void TMessLog::AddFmt(TLevel level, std::string_view format, const TArgs&... args) noexcept
{
    if (const auto text = Formatted(format, args...))
        Add(*text, level);
}

// The loop whose work the calling thread does for as long as it lives: the
// lines it logs carry the loop to the system journal (field VELIX_LOOP).
class TLogLoop {
public:
    explicit TLogLoop(int loopId) noexcept;
    ~TLogLoop();
    TLogLoop(const TLogLoop&) = delete;
    TLogLoop& operator=(const TLogLoop&) = delete;
    static int Current() noexcept;

private:
    int m_previous;
};

// What a guarded thread's failure writes to the log: "The <name> thread
// failed (<reason>); it starts again".
platform::TFailureReport ThreadFailureLogger(TMessLog& log);

// Inside a catch block: the fixed text, with the exception's own text where it has one.
std::string WithReason(std::string_view fixedText);

// The header's version: the build's four-part version joined by full stops.
std::string FileVersionText(bool zeroPadded = false);
// Full path of the program, "   Version - " and its version.
std::string VersionLine();

} // namespace config
