#include "config/MessLog.hpp"
#include "platform/FileText.hpp"
#include "platform/Paths.hpp"

#include "TestSupport.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include <mutex>

#include <condition_variable>

#include <ctime>
#include <filesystem>
#include <regex>

using config::TMessLog;
using testing_support::ReadFile;
using testing_support::SplitLines;
using testing_support::TTempDir;
using testing_support::WriteFile;

namespace {

std::chrono::system_clock::time_point LocalTimePoint(int y, int m, int d, int h, int n, int s, int ms = 0)
{
    return testing_support::InstantAt(testing_support::TFieldsIn::LocalTime, y, m, d, h, n, s) +
           std::chrono::milliseconds(ms);
}

// 2026-12-08 is a Tuesday (period 3), 2026-12-09 a Wednesday (period 4).
struct TFakeClock {
    std::chrono::system_clock::time_point Now = LocalTimePoint(2026, 12, 8, 9, 5, 7, 42);
    TMessLog::TClock Fn()
    {
        return [this] { return Now; };
    }
};

const TMessLog::TOptions kServiceOptions{.DeleteOnNewPeriod = true, .Rotate = true, .ByDayOfMonth = false,
                                         .NoHeader = false};

std::string Header()
{
    return std::string(21, '.') + " - " + platform::ExecutablePath() + "   Version - 1.0.0.0";
}

} // namespace

TEST(MessLog, FirstWriteOutCreatesTodaysFileWithHeader)
{
    TTempDir dir;
    TFakeClock clock;
    {
        TMessLog log(dir / "log/dadid.log", kServiceOptions, "Start Log", clock.Fn());
        EXPECT_FALSE(std::filesystem::exists(dir / "log/dadid3.log")) << "nothing is written before a write-out";
        log.Log("hello");
    }
    const std::string text = ReadFile(dir / "log/dadid3.log");
    EXPECT_EQ(text, Header() + "\r\n" + "09:05:07.042 08/12/26 - Start Log\r\n" +
                        "09:05:07.042 08/12/26 - hello\r\n" + "09:05:07.042 08/12/26 - End Log\r\n");
}

TEST(MessLog, NewDayStartsItsFileAfreshAndSameDayRestartAppends)
{
    TTempDir dir;
    TFakeClock clock;
    WriteFile(dir / "log/dadid4.log", "last week's Wednesday\r\n");
    WriteFile(dir / "log/dadid3.log", "earlier today\r\n");
    {
        TMessLog log(dir / "log/dadid.log", kServiceOptions, "Start Log", clock.Fn());
        log.Log("tuesday");
        clock.Now = LocalTimePoint(2026, 12, 9, 0, 0, 1);
        log.Log("wednesday");
    }
    const auto tuesday = SplitLines(ReadFile(dir / "log/dadid3.log"));
    ASSERT_EQ(tuesday.size(), 4u);
    EXPECT_EQ(tuesday[0], "earlier today");
    EXPECT_EQ(tuesday[1], Header());
    EXPECT_EQ(tuesday[2], "09:05:07.042 08/12/26 - Start Log");
    EXPECT_EQ(tuesday[3], "09:05:07.042 08/12/26 - tuesday");
    const auto wednesday = SplitLines(ReadFile(dir / "log/dadid4.log"));
    ASSERT_EQ(wednesday.size(), 3u);
    EXPECT_EQ(wednesday[0], Header());
    EXPECT_EQ(wednesday[1], "00:00:01.000 09/12/26 - wednesday");
    EXPECT_EQ(wednesday[2], "00:00:01.000 09/12/26 - End Log");
}

TEST(MessLog, AddWritesOutAtTheTwoHundredFiftiethLine)
{
    TTempDir dir;
    TFakeClock clock;
    TMessLog log(dir / "a.log", {}, "", clock.Fn());
    for (int i = 0; i < 249; ++i)
        ASSERT_EQ(log.Add("line " + std::to_string(i)), i);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.log"));
    EXPECT_EQ(log.Add("line 249"), -1);
    const auto lines = SplitLines(ReadFile(dir / "a.log"));
    ASSERT_EQ(lines.size(), 251u);
    EXPECT_EQ(lines[1], "09:05:07.042 08/12/26 - line 0");
    EXPECT_EQ(lines[250], "09:05:07.042 08/12/26 - line 249");
    EXPECT_EQ(log.PendingCount(), 0u);
    // AddQuiet never writes out by itself.
    for (int i = 0; i < 300; ++i)
        log.AddQuiet("q");
    EXPECT_EQ(log.PendingCount(), 300u);
}

// Two loops' decisions at once, their lines added turn about: each decision's
// lines reach the file together, never interleaved with the other's.
TEST(MessLog, EachThreadsLinesAreWrittenOutTogether)
{
    TTempDir dir;
    TMessLog log(dir / "a.log", {.NoHeader = true}, "");
    std::mutex turnLock;
    std::condition_variable turned;
    int turn = 0;  // even: the first thread's, odd: the second's
    const auto decide = [&](const std::string& who, int parity) {
        for (int line = 0; line < 3; ++line) {
            std::unique_lock lock(turnLock);
            turned.wait(lock, [&] { return turn % 2 == parity; });
            log.Add(who + " " + std::to_string(line));
            ++turn;
            turned.notify_all();
        }
        std::unique_lock lock(turnLock);
        turned.wait(lock, [&] { return turn >= 6 + parity; });
        log.Log(who + " answered");
        ++turn;
        turned.notify_all();
    };
    std::thread first(decide, "a", 0), second(decide, "b", 1);
    first.join();
    second.join();
    std::vector<std::string> texts;
    for (const auto& line : SplitLines(ReadFile(dir / "a.log")))
        texts.push_back(line.substr(24));
    EXPECT_EQ(texts, (std::vector<std::string>{"a 0", "a 1", "a 2", "a answered", "b 0", "b 1", "b 2", "b answered"}));
}

TEST(MessLog, LockedFileKeepsLinesPendingWithTheirStamps)
{
    TTempDir dir;
    TFakeClock clock;
    const std::string file = dir / "log/dadid3.log";
    WriteFile(file, "");
    const int other = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    {
        TMessLog log(dir / "log/dadid.log", kServiceOptions, "Start Log", clock.Fn());
        const auto before = std::chrono::steady_clock::now();
        log.Log("dropped");
        EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(87));
        EXPECT_EQ(ReadFile(file), "");
        clock.Now += std::chrono::seconds(1);
        log.Add("kept");
        EXPECT_EQ(log.PendingCount(), 2u);
        ::close(other);  // the other program lets go
        clock.Now += std::chrono::seconds(1);
        log.Log("after");
    }
    const auto lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], "09:05:07.042 08/12/26 - Start Log");
    EXPECT_EQ(lines[2], "09:05:08.042 08/12/26 - kept");
    EXPECT_EQ(lines[3], "09:05:09.042 08/12/26 - after");
    EXPECT_EQ(lines[4], "09:05:09.042 08/12/26 - End Log");
}

TEST(MessLog, LogFmtReportsAFormatThatDoesNotFit)
{
    TTempDir dir;
    {
        TMessLog log(dir / "a.log", {.NoHeader = true}, "");
        log.LogFmt("Count %d of %s", 3, std::string("lot"));
        log.LogFmt("Card %d", std::string("abc"));
        log.LogFmt("Lot %d", 1, 2);  // an extra argument is harmless
    }
    const auto lines = SplitLines(ReadFile(dir / "a.log"));
    ASSERT_EQ(lines.size(), 4u);
    const std::regex stamp(R"(\d\d:\d\d:\d\d\.\d\d\d \d\d/\d\d/\d\d - )");
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_search(l, stamp)) << l;
    EXPECT_EQ(lines[0].substr(24), "Count 3 of lot");
    EXPECT_EQ(lines[1].substr(24), "TMessLog Format() Exception!");
    EXPECT_EQ(lines[2].substr(24, 3), " - ");
    EXPECT_EQ(lines[2].substr(lines[2].size() - 9), "  Card %d");
    EXPECT_EQ(lines[3].substr(24), "Lot 1");
}

TEST(MessLog, EmptyNameMeansMessagesLogInTheCurrentFolder)
{
    TTempDir dir;
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    {
        TMessLog log("", {.NoHeader = true});
        log.Log("x");
    }
    std::filesystem::current_path(old);
    const auto lines = SplitLines(ReadFile(dir / "Messages.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(24), "Start Log");
    EXPECT_EQ(lines[2].substr(24), "End Log");
}

TEST(MessLog, FolderThatCannotBeMadeNeverCrashesAndKeepsMemoryBounded)
{
    TTempDir dir;
    WriteFile(dir / "blocker", "a file where the log folder should be");
    TMessLog log(dir / "blocker/log/dadid.log", kServiceOptions);
    log.Log("nowhere to go");
    for (std::size_t i = 0; i < TMessLog::kMaxPendingLines + 10; ++i)
        log.AddQuiet("pending");
    EXPECT_EQ(log.PendingCount(), TMessLog::kMaxPendingLines);
}

TEST(MessLog, ForceDeleteFileRenamesWhatItCannotRemove)
{
    TTempDir dir;
    WriteFile(dir / "x.log", "x");
    platform::ForceDeleteFile(dir / "x.log");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.log"));
    platform::ForceDeleteFile(dir / "absent.log");  // no error for a missing file
    EXPECT_FALSE(std::filesystem::exists(dir / "absent.log.del"));
}
