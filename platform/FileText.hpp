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
