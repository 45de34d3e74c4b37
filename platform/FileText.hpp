#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Whole-file read; std::nullopt when the file is missing or unreadable.
std::optional<std::string> ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path) noexcept;
bool IsDirectory(const std::string& path) noexcept;
// Creates the folder and its missing parents; false with errno kept on failure.
bool MakeFolders(const std::string& path) noexcept;
std::string ParentFolder(const std::string& path);

// path made absolute against the working folder.
std::string AbsolutePath(std::string path);
// Removes a file; one that cannot be removed is renamed to <name>.del. Never fails loudly.
void ForceDeleteFile(const std::string& fileName) noexcept;
// Makes a new empty file; false when it exists already or cannot be made.
bool CreateNewFile(const std::string& path) noexcept;

// A file opened for appending while other readers and writers share it: a
// shared lock that fails only where another program holds the file
// exclusively. Closed at destruction.
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // False with errno kept (ENOENT for a missing file).
    bool Open(const std::string& path) noexcept;
    bool IsOpen() const noexcept { return m_fd >= 0; }
    // Writes all of it, as far as the file takes it.
    void Write(std::string_view bytes) noexcept;

private:
    int m_fd = -1;
};

// Rewrites a file whole: the new text goes to a temporary file in the same
// folder and replaces the old one only on Commit(); without Commit() the
// temporary is removed and the old file is untouched.
class TReplaceFile {
public:
    explicit TReplaceFile(std::string path);
    TReplaceFile(const TReplaceFile&) = delete;
    TReplaceFile& operator=(const TReplaceFile&) = delete;
    ~TReplaceFile();

    [[nodiscard]] bool Write(std::string_view bytes) noexcept;
    [[nodiscard]] bool Commit() noexcept;

private:
    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
    bool m_failed = false;
};

} // namespace platform
