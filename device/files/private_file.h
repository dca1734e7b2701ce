#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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
    // Where the folder cannot be the user's to mend (planted by another user, on a read-only
    // file system): how to use another. Empty: `remove` (and nothing for a read-only one).
    std::string elsewhere;   // "set XDG_RUNTIME_DIR to a folder only you can write ..."
    std::string otherVolume; // "set XDG_RUNTIME_DIR to a private folder on one that is writable"
};

// How an update meets another process updating the same file at that moment.
struct UpdateWait {
    static constexpr std::chrono::milliseconds DefaultPatience{10'000};

    // Who holds the lock, as a message names them: "another velmora-sim".
    std::string holderName = "another program";
    // How long to wait before giving up with a FileError.
    std::chrono::milliseconds patience = DefaultPatience;
    // Told once, as the wait begins: the process id of the one holding the lock where the
    // system can tell it.
    std::function<void(std::optional<std::int64_t> holder)> waiting;
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
    // `beforeReplace` runs with the new content in its temporary file, just before the move.
    bool publish(const std::filesystem::path &file, std::string_view text, bool replace,
                 const std::function<void()> &beforeReplace = {}) const;
    // Holds an exclusive lock, which other updates of `file` wait for, until the folder closes;
    // waits at most `wait.patience`, then throws FileError naming the holder where known. Once
    // held, removes what writers of `file` killed half-way left behind (removeLeftovers).
    void lockForUpdate(const std::filesystem::path &file, const UpdateWait &wait = {});
    // Removes the temporary files that writers of `file` killed half-way left in this folder:
    // only regular files of the user's by publish's naming, not in use, and only where the
    // writer is gone or the file is too old to be anyone's work in progress.
    void removeLeftovers(const std::filesystem::path &file) const;

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

// The temporary files publish makes for `fileName`: ".NAME.tmp.PID.SERIAL.TICKS".
std::string temporaryName(std::string_view fileName, std::int64_t pid, unsigned serial,
                          std::uint64_t ticks);
// The writer's process id where `name` is such a temporary file of `fileName`, else nothing.
std::optional<std::int64_t> temporaryWriter(std::string_view name, std::string_view fileName);
// A temporary file older than this is nobody's work in progress, whoever has its process id now.
inline constexpr std::chrono::hours TemporaryLifetime{1};

// One try at an update lock: taken, or held by someone else (by that process, where known).
struct LockTry {
    bool taken = false;
    std::optional<std::int64_t> holder;
};
// Tries `tryLock` until it is taken, telling `wait.waiting` once, and gives up after
// `wait.patience` with a FileError naming `path`.
void waitForLock(const std::filesystem::path &path, const UpdateWait &wait,
                 const std::function<LockTry()> &tryLock);

// The folder a file lives in, "." for a bare name.
std::filesystem::path folderOf(const std::filesystem::path &file);
// Refuses a path whose last part names no file ("", ".", "..").
void checkFileName(const std::filesystem::path &file);

// Who the ownership check takes to own `path`, given the owner the system reports: that one,
// unless a test stands another user in here, so that the refusal is tried without root.
inline std::uint32_t (*privateFileOwnerSeen)(const std::filesystem::path &path,
                                             std::uint32_t reported) = nullptr;

} // namespace velmora
