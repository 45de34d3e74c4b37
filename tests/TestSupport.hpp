#pragma once

#include "platform/LocalTime.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under /tmp, removed with everything in it at destruction.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A local date-time written out field by field.
inline platform::TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return platform::EncodeDate(year, month, day) + platform::EncodeTime(hour, minute, second);
}

// A wall-clock instant written out field by field, read as local time (with
// the zone's daylight saving rules) or as UTC.
enum class TFieldsIn { LocalTime, Utc };
std::chrono::system_clock::time_point InstantAt(TFieldsIn zone, int year, int month, int day, int hour, int minute,
                                                int second = 0);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
// Every file of <home>/log, one after the other; empty while there is none.
std::string LogFolderText(const std::string& home);
// An environment variable, empty when unset.
std::string Env(const char* name);
std::vector<std::string> SplitLines(const std::string& text);  // on CR LF or LF

// Polls cond every 10 ms until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline);

// A child process with its own environment additions; killed (by pid) at destruction.
class TChild {
public:
    TChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);
    ~TChild();
    TChild(const TChild&) = delete;
    TChild& operator=(const TChild&) = delete;
    int Pid() const { return m_pid; }
    void Signal(int sig);
    // Exit status, or -1 when it did not end within the deadline.
    int Wait(std::chrono::milliseconds deadline);
    std::string Output() const;
    // Writes to the child's standard input (a pipe).
    void Write(const std::string& text);

private:
    int m_pid = -1;
    int m_stdin = -1;
    bool m_reaped = false;
    std::string m_outFile;
};

struct TRunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};
TRunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);

// How often what occurs in text.
int Occurrences(const std::string& text, const std::string& what);

} // namespace testing_support
