#include "TestSupport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

TTempDir::TTempDir()
{
    std::string tmpl = "/tmp/velixtest.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::chrono::system_clock::time_point InstantAt(TFieldsIn zone, int year, int month, int day, int hour, int minute,
                                                int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(zone == TFieldsIn::Utc ? ::timegm(&t) : std::mktime(&t));
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string LogFolderText(const std::string& home)
{
    std::string all;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(home + "/log", ec))
        all += ReadFile(e.path());
    return all;
}

std::string Env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

TChild::TChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
{
    char tmpl[] = "/tmp/velixchild.XXXXXX";
    const int fd = ::mkstemp(tmpl);
    m_outFile = tmpl;
    int in[2];
    if (::pipe(in) != 0)
        throw std::runtime_error("pipe failed");
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(in[0], 0);
        ::close(in[1]);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        for (const auto& [k, v] : env)
            ::setenv(k.c_str(), v.c_str(), 1);
        // Signals blocked by the test runner must not stay blocked in the child.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fd);
    ::close(in[0]);
    m_stdin = in[1];
}

void TChild::Write(const std::string& text)
{
    ::signal(SIGPIPE, SIG_IGN);
    if (m_stdin >= 0 && ::write(m_stdin, text.data(), text.size()) < 0)
        throw std::runtime_error("write to child failed");
}

TChild::~TChild()
{
    if (m_stdin >= 0)
        ::close(m_stdin);
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    ::unlink(m_outFile.c_str());
}

void TChild::Signal(int sig)
{
    if (m_pid > 0 && !m_reaped)
        ::kill(m_pid, sig);
}

int TChild::Wait(std::chrono::milliseconds deadline)
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!m_reaped) {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string TChild::Output() const
{
    return ReadFile(m_outFile);
}

TRunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env)
{
    TTempDir dir;
    std::vector<std::string> shell = {"/bin/sh", "-c", "\"$@\" >\"$OUT\" 2>\"$ERR\"", "sh"};
    shell.insert(shell.end(), argv.begin(), argv.end());
    auto withFiles = env;
    withFiles["OUT"] = dir / "out";
    withFiles["ERR"] = dir / "err";
    TChild child(shell, withFiles);
    TRunResult r;
    r.Status = child.Wait(std::chrono::seconds(30));
    r.Out = ReadFile(dir / "out");
    r.Err = ReadFile(dir / "err");
    return r;
}

int Occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace testing_support
