#include "platform/FileText.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

bool FileExists(const std::string& path) noexcept
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) noexcept
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolders(const std::string& path) noexcept
{
    if (path.empty() || IsDirectory(path))
        return true;
    const std::string parent = ParentFolder(path);
    if (!parent.empty() && parent != path && !MakeFolders(parent))
        return false;
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string ParentFolder(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string AbsolutePath(std::string path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

void ForceDeleteFile(const std::string& fileName) noexcept
{
    try {
        if (::unlink(fileName.c_str()) == 0)
            return;
        const std::string del = fileName + ".del";
        ::unlink(del.c_str());
        ::rename(fileName.c_str(), del.c_str());
    } catch (...) {
    }
}

bool CreateNewFile(const std::string& path) noexcept
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

TAppendFile::~TAppendFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TAppendFile::Open(const std::string& path) noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (m_fd < 0)
        return false;
    if (::flock(m_fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void TAppendFile::Write(std::string_view bytes) noexcept
{
    while (m_fd >= 0 && !bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

TReplaceFile::TReplaceFile(std::string path) : m_path(std::move(path))
{
    const std::string parent = ParentFolder(m_path);
    m_temp = (parent.empty() ? std::string(".") : parent) + "/.tmpXXXXXX";
    m_fd = ::mkostemp(m_temp.data(), O_CLOEXEC);
    if (m_fd < 0) {
        m_failed = true;
        m_temp.clear();
        return;
    }
    // Keep the permissions of the file being replaced.
    struct stat st {};
    ::fchmod(m_fd, ::stat(m_path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
}

TReplaceFile::~TReplaceFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_temp.empty())
        ::unlink(m_temp.c_str());
}

bool TReplaceFile::Write(std::string_view bytes) noexcept
{
    while (!m_failed && !bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_failed = true;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return !m_failed;
}

bool TReplaceFile::Commit() noexcept
{
    if (m_failed || m_fd < 0)
        return false;
    const bool synced = ::fsync(m_fd) == 0;
    ::close(m_fd);
    m_fd = -1;
    if (!synced || ::rename(m_temp.c_str(), m_path.c_str()) != 0)
        return false;
    m_temp.clear();
    return true;
}

} // namespace platform
