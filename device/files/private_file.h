#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora {

// A refusal or failure with one of the user's own small files. The message names the path,
// what is wrong and the fix.
class FileError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A path as messages show it: UTF-8 (on POSIX systems, the path's own bytes).
std::string displayPath(const std::filesystem::path &path);

// Throws FileError: "PATH: what".
[[noreturn]] void refuseFile(const std::filesystem::path &path, const std::string &what);

// What refusals suggest, in the words of the file they are about.
struct PrivateFileFixes {
    std::string kind;        // "a state file": "is 5000 bytes, more than a state file can be"
    std::string folderOwner; // the folder is someone else's
    std::string remove;      // a link, a folder or something else stands where the file should
    std::string reset;       // the file is someone else's, too large or unreadable
};

// A folder of the user's own holding small files that only they may change. Opened without
// following a symbolic link (on Windows: any reparse point), created where missing (0700; on
// Windows with an access list for the user alone), and refused unless it is the user's and
// writable by nobody else. While open it stays the folder that was checked: on POSIX systems
// every access is relative to it, on Windows it cannot be renamed away. Every failure is a
// FileError.
class PrivateFolder final {
public:
    PrivateFolder(const std::filesystem::path &folder, PrivateFileFixes fixes);
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder &) = delete;
    PrivateFolder &operator=(const PrivateFolder &) = delete;

    // The whole content of `file` (in this folder) once it has been checked as a regular file
    // of the user's, of at most `maxSize` bytes; none where there is no such file.
    std::optional<std::string> read(const std::filesystem::path &file, std::size_t maxSize) const;
    // Writes `text` to a fresh temporary file beside `file`, then moves it into place: replacing
    // the old file, or only if there is none yet. Either way a reader sees the old content or
    // the new, never part of it. Returns false when not replacing and a file was there.
    bool publish(const std::filesystem::path &file, std::string_view text, bool replace) const;
    // Holds an exclusive lock, which other updates of `file` wait for, until the folder closes.
    void lockForUpdate(const std::filesystem::path &file);

    const PrivateFileFixes &fixes() const noexcept { return m_fixes; }

private:
    std::filesystem::path m_folder;
    PrivateFileFixes m_fixes;
#ifdef _WIN32
    void *m_handle = nullptr;
    void *m_lock = nullptr;
#else
    int m_fd = -1;
#endif
};

// The folder a file lives in, "." for a bare name.
std::filesystem::path folderOf(const std::filesystem::path &file);
// Refuses a path whose last part names no file ("", ".", "..").
void checkFileName(const std::filesystem::path &file);

} // namespace velmora
