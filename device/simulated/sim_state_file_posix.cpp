// The state file on POSIX systems: descriptors relative to the opened folder, flock for updates.

#include "simulated/sim_state.h"
#include "simulated/sim_state_detail.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

using sim_state_detail::FileText;
using sim_state_detail::MaxFileSize;
using sim_state_detail::RemoveHint;
using sim_state_detail::ResetHint;

// Where the folder is not the user's to mend, say what the user can do instead.
constexpr std::string_view ElsewhereHint =
    "set XDG_RUNTIME_DIR to a folder only you can write (for example 'mkdir -m 700 "
    "~/.velmora-run && export XDG_RUNTIME_DIR=~/.velmora-run'), or ask the administrator to "
    "remove it";

class FileDescriptor final {
public:
    explicit FileDescriptor(int fd) noexcept
        : m_fd(fd)
    {}
    FileDescriptor(FileDescriptor &&other) noexcept
        : m_fd(other.release())
    {}
    FileDescriptor &operator=(FileDescriptor &&) = delete;
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const noexcept { return m_fd; }
    int release() noexcept { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

[[noreturn]] void refuse(const std::filesystem::path &path, const std::string &what)
{
    throw SimStateError(path.string() + ": " + what);
}

// A system call failed: say which, why, and where to look.
[[noreturn]] void systemFailure(const std::filesystem::path &path, const std::string &action,
                                int error)
{
    std::string text = "cannot " + action + ": " + std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        text += " (check the permissions of the folders above it)";
        break;
    case ENOENT:
        text += " (a folder above it is missing)";
        break;
    case ENOSPC:
    case EDQUOT:
        text += " (free some space, then try again)";
        break;
    case EISDIR:
        text += " (" + std::string(RemoveHint) + ")";
        break;
    case EROFS:
        text += " (the file system is mounted read-only: remount it read-write, or set "
                "XDG_RUNTIME_DIR to a private folder on one that is writable)";
        break;
    default:
        break;
    }
    refuse(path, text);
}

std::string octalMode(mode_t mode)
{
    std::string text = "0";
    for (int shift = 6; shift >= 0; shift -= 3)
        text += static_cast<char>('0' + ((mode >> shift) & 7));
    return text;
}

// The same rules hold for the folder and the file: ours, and writable by nobody else.
void checkOwnership(const std::filesystem::path &path, const struct stat &info,
                    const std::string &ownerFix, const std::string &modeFix)
{
    if (info.st_uid != ::geteuid()) {
        refuse(path, "owned by user " + std::to_string(info.st_uid) + ", not by you (uid " +
                         std::to_string(::geteuid()) + "); " + ownerFix);
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse(path, "writable by group or others (mode " + octalMode(info.st_mode & 07777) +
                         "); " + modeFix);
    }
}

std::filesystem::path folderOf(const std::filesystem::path &file)
{
    const auto folder = file.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

// Opens the state file's folder without following a symlink, creating it (0700) if missing.
FileDescriptor openFolder(const std::filesystem::path &folder)
{
    constexpr int Flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    bool created = false;
    int fd = ::open(folder.c_str(), Flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdir(folder.c_str(), 0700) == 0)
            created = true;
        else if (errno != EEXIST)
            systemFailure(folder, "create the folder", errno);
        fd = ::open(folder.c_str(), Flags);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &info) == 0) {
            // Planted by someone else in a shared folder such as /tmp, it is not ours to remove.
            const std::string fix =
                info.st_uid == ::geteuid()
                    ? std::string(RemoveHint)
                    : "it belongs to user " + std::to_string(info.st_uid) +
                          ", so you cannot remove it: " + std::string(ElsewhereHint);
            if (S_ISLNK(info.st_mode))
                refuse(folder, "is a symbolic link; refusing to follow it (" + fix + ")");
            if (!S_ISDIR(info.st_mode))
                refuse(folder, "is not a folder (" + fix + ")");
        }
        systemFailure(folder, "open the folder", error);
    }
    FileDescriptor dir(fd);
    // A restrictive umask may have taken bits the owner needs.
    if (created && ::fchmod(dir.get(), 0700) != 0)
        systemFailure(folder, "set the folder's permissions", errno);
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0)
        systemFailure(folder, "examine the folder", errno);
    checkOwnership(folder, info, "you cannot use it: " + std::string(ElsewhereHint),
                   "run 'chmod 700 " + folder.string() + "'");
    return dir;
}

// Returns 0, or the errno of the failed write.
int writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// Writes `text` to a fresh temporary file beside the state file, then moves it into place:
// replacing the old file, or only if there is none yet. Either way a reader sees the old
// content or the new, never part of it. Returns false when not replacing and a file was there.
bool publish(int dir, const std::filesystem::path &file, std::string_view text, bool replace,
             const std::function<void()> &beforeReplace = {})
{
    static std::atomic<unsigned> serial{0};
    const std::string name = file.filename().string();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        temporary = sim_state_detail::temporaryName(name, ::getpid(), serial++,
                                                    static_cast<std::uint64_t>(ticks) & 0xffffff);
        fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            systemFailure(folderOf(file), "create a temporary file", errno);
    }

    // Whatever goes wrong from here on, the temporary file must not be left behind.
    struct RemoveTemporary {
        int dir;
        const std::string &name;
        bool armed = true;
        ~RemoveTemporary()
        {
            if (armed)
                ::unlinkat(dir, name.c_str(), 0);
        }
    } cleanup{dir, temporary};

    FileDescriptor out(fd);
    // Locked while being written, so that nobody tidying the folder takes it for a leftover.
    ::flock(out.get(), LOCK_EX | LOCK_NB);
    if (::fchmod(out.get(), 0600) != 0)
        systemFailure(file, "set the permissions of a temporary file", errno);
    if (const int error = writeAll(out.get(), text); error != 0)
        systemFailure(file, "write a temporary file", error);
    if (::close(out.release()) != 0)
        systemFailure(file, "write a temporary file", errno);
    if (beforeReplace)
        beforeReplace();

    if (replace) {
        if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0)
            systemFailure(file, "replace the file", errno);
        cleanup.armed = false;
        return true;
    }
    // link() never replaces, so of two creators racing, exactly one wins.
    if (::linkat(dir, temporary.c_str(), dir, name.c_str(), 0) != 0) {
        if (errno == EEXIST)
            return false;
        systemFailure(file, "create the file", errno);
    }
    return true;
}

// The file's bytes, once it is known to be a regular file of ours.
FileText readState(const std::filesystem::path &file, FileDescriptor fd)
{
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        systemFailure(file, "examine the file", errno);
    if (!S_ISREG(info.st_mode))
        refuse(file, "is not a regular file (" + std::string(RemoveHint) + ")");
    // velmora-sim reset replaces the file with one of ours, mode 0600.
    checkOwnership(file, info, std::string(ResetHint), std::string(ResetHint));

    FileText result;
    result.reportedSize = static_cast<std::uintmax_t>(info.st_size);
    if (result.reportedSize > MaxFileSize)
        return result;
    // Read one byte past the bound, in case the file grew after fstat.
    std::string &text = result.text;
    text.assign(MaxFileSize + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            systemFailure(file, "read the file", errno);
        }
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    text.resize(size);
    return result;
}

void checkName(const std::filesystem::path &file)
{
    const std::string name = file.filename().string();
    if (name.empty() || name == "." || name == "..")
        refuse(file, "does not name a file");
}

bool processIsGone(std::int64_t pid)
{
    return pid > 0 && pid <= std::int64_t(INT32_MAX) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

// Removes the temporary files that writers of `file` killed half-way left in its folder: only
// regular files of ours by that naming, only where nobody holds them locked, and only where the
// writer is gone or the file is too old to be anyone's work in progress.
void removeLeftovers(int dir, const std::filesystem::path &file)
{
    const int listFd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    DIR *list = ::fdopendir(listFd);
    if (list == nullptr) {
        ::close(listFd);
        return;
    }
    const std::string fileName = file.filename().string();
    const auto now = std::chrono::system_clock::now();
    while (const dirent *entry = ::readdir(list)) {
        const auto writer = sim_state_detail::temporaryWriter(entry->d_name, fileName);
        if (!writer)
            continue;
        const int fd =
            ::openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const FileDescriptor held(fd);
        struct stat info {};
        if (::fstat(held.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid() || ::flock(held.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
        if (processIsGone(*writer) || now - modified > sim_state_detail::TemporaryLifetime)
            ::unlinkat(dir, entry->d_name, 0);
    }
    ::closedir(list);
}

// Holds the update lock: flock on the folder, shared by every thread and process that opens it.
// A POSIX record lock beside it tells a waiting process who holds it (F_GETLK reports the
// holder's process id; flock cannot).
class UpdateLock final {
public:
    UpdateLock(const FileDescriptor &dir, const std::filesystem::path &folder,
               const SimUpdateOptions &options)
        : m_dir(dir.get())
    {
        sim_state_detail::waitForLock(displayPath(folder), options, [&] {
            sim_state_detail::LockTry attempt;
            while (::flock(m_dir, LOCK_EX | LOCK_NB) != 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EWOULDBLOCK)
                    systemFailure(folder, "lock the folder", errno);
                struct flock probe = holderRange(F_WRLCK);
                if (::fcntl(m_dir, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK &&
                    probe.l_pid > 0)
                    attempt.holder = probe.l_pid;
                return attempt;
            }
            attempt.taken = true;
            return attempt;
        });
    }
    // Tells a waiting process who holds the lock. Dropped by the system should this process
    // close any descriptor for the folder, so taken once the folder has been listed.
    void advertise() const
    {
        struct flock advertise = holderRange(F_RDLCK);
        ::fcntl(m_dir, F_SETLK, &advertise);
    }
    UpdateLock(const UpdateLock &) = delete;
    UpdateLock &operator=(const UpdateLock &) = delete;
    ~UpdateLock()
    {
        struct flock withdraw = holderRange(F_UNLCK);
        ::fcntl(m_dir, F_SETLK, &withdraw);
        ::flock(m_dir, LOCK_UN);
    }

private:
    static struct flock holderRange(short type)
    {
        struct flock range {};
        range.l_type = type;
        range.l_whence = SEEK_SET;
        range.l_start = 0;
        range.l_len = 1;
        return range;
    }

    int m_dir;
};

// Loads the file through the folder already opened (and, for a change, locked): a second
// descriptor for the folder, once closed, would drop the record lock that names the holder.
SimState loadIn(const FileDescriptor &dir, const std::filesystem::path &file)
{
    const std::string name = file.filename().string();
    return sim_state_detail::loadState(
        displayPath(file),
        [&]() -> std::optional<FileText> {
            // O_NONBLOCK: a FIFO planted here must be refused, not waited on.
            const int fd = ::openat(dir.get(), name.c_str(),
                                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
            if (fd >= 0)
                return readState(file, FileDescriptor(fd));
            const int error = errno;
            if (error == ELOOP) {
                refuse(file, "is a symbolic link; refusing to follow it (" +
                                 std::string(RemoveHint) + ")");
            }
            if (error != ENOENT)
                systemFailure(file, "open the file", error);
            return std::nullopt;
        },
        [&](std::string_view text) { return publish(dir.get(), file, text, false); });
}

} // namespace

std::filesystem::path SimStateFile::defaultPath()
{
    // A relative XDG_RUNTIME_DIR is invalid and ignored: it would name a different file for
    // each working folder, and the program and velmora-sim must agree on one.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::filesystem::path(runtime) / "velmora" / "simcard";
    return std::filesystem::path("/tmp") / ("velmora-" + std::to_string(::geteuid())) / "simcard";
}

SimState SimStateFile::load() const
{
    checkName(m_file);
    return loadIn(openFolder(folderOf(m_file)), m_file);
}

void SimStateFile::write(const SimState *replacement, const std::function<void(SimState &)> &change,
                         const SimUpdateOptions &options) const
{
    checkName(m_file);
    const std::filesystem::path folder = folderOf(m_file);
    const FileDescriptor dir = openFolder(folder);
    // Two commands changing the card at the same moment must not lose one of the changes.
    const UpdateLock lock(dir, folder, options);
    removeLeftovers(dir.get(), m_file);
    lock.advertise();
    SimState state = replacement != nullptr ? *replacement : loadIn(dir, m_file);
    if (change)
        change(state);
    publish(dir.get(), m_file, sim_state_detail::formatForStore(displayPath(m_file), state), true,
            options.beforeReplace);
}

std::optional<SimStateReader::Identity> SimStateReader::identify() const
{
    struct stat info {};
    if (::lstat(m_file.path().c_str(), &info) != 0)
        return std::nullopt;
    Identity id;
    id.device = static_cast<std::uint64_t>(info.st_dev);
    id.inode = static_cast<std::uint64_t>(info.st_ino);
    id.size = static_cast<std::uint64_t>(info.st_size);
    id.modifiedNs = std::int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    id.changedNs = std::int64_t(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    id.mode = static_cast<std::uint32_t>(info.st_mode);
    id.owner = static_cast<std::uint32_t>(info.st_uid);
    return id;
}

std::string displayPath(const std::filesystem::path &path)
{
    return path.string();
}

} // namespace velmora
