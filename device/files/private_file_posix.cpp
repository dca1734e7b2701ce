// Private files on POSIX systems: descriptors relative to the opened folder, flock for updates.

#include "files/private_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

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

// A system call failed: say which, why, and where to look.
[[noreturn]] void systemFailure(const std::filesystem::path &path, const std::string &action,
                                int error, const PrivateFileFixes &fixes)
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
        text += " (" + fixes.remove + ")";
        break;
    case EROFS:
        text += " (the file system is mounted read-only: remount it read-write" +
                (fixes.otherVolume.empty() ? std::string() : ", or " + fixes.otherVolume) + ")";
        break;
    default:
        break;
    }
    refuseFile(path, text);
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
    const std::uint32_t owner =
        privateFileOwnerSeen != nullptr ? privateFileOwnerSeen(path, info.st_uid) : info.st_uid;
    if (owner != ::geteuid()) {
        refuseFile(path, "owned by user " + std::to_string(owner) + ", not by you (uid " +
                             std::to_string(::geteuid()) + "); " + ownerFix);
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuseFile(path, "writable by group or others (mode " + octalMode(info.st_mode & 07777) +
                             "); " + modeFix);
    }
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

} // namespace

PrivateFolder::PrivateFolder(const std::filesystem::path &folder, PrivateFileFixes fixes)
    : m_folder(folder)
    , m_fixes(std::move(fixes))
{
    constexpr int Flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    bool created = false;
    int fd = ::open(folder.c_str(), Flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdir(folder.c_str(), 0700) == 0)
            created = true;
        else if (errno != EEXIST)
            systemFailure(folder, "create the folder", errno, m_fixes);
        fd = ::open(folder.c_str(), Flags);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &info) == 0) {
            // Planted by someone else in a shared folder such as /tmp, it is not ours to remove.
            const std::string fix = info.st_uid == ::geteuid() || m_fixes.elsewhere.empty()
                                        ? m_fixes.remove
                                        : "it belongs to user " + std::to_string(info.st_uid) +
                                              ", so you cannot remove it: " + m_fixes.elsewhere;
            if (S_ISLNK(info.st_mode))
                refuseFile(folder, "is a symbolic link; refusing to follow it (" + fix + ")");
            if (!S_ISDIR(info.st_mode))
                refuseFile(folder, "is not a folder (" + fix + ")");
        }
        systemFailure(folder, "open the folder", error, m_fixes);
    }
    FileDescriptor dir(fd);
    // A restrictive umask may have taken bits the owner needs.
    if (created && ::fchmod(dir.get(), 0700) != 0)
        systemFailure(folder, "set the folder's permissions", errno, m_fixes);
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0)
        systemFailure(folder, "examine the folder", errno, m_fixes);
    checkOwnership(folder, info, m_fixes.folderOwner, "run 'chmod 700 " + folder.string() + "'");
    m_fd = dir.release();
}

PrivateFolder::~PrivateFolder()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::string> PrivateFolder::read(const std::filesystem::path &file,
                                               std::size_t maxSize) const
{
    const std::string name = file.filename().string();
    // O_NONBLOCK: a FIFO planted here must be refused, not waited on.
    const int opened =
        ::openat(m_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (opened < 0) {
        const int error = errno;
        if (error == ENOENT)
            return std::nullopt;
        if (error == ELOOP)
            refuseFile(file, "is a symbolic link; refusing to follow it (" + m_fixes.remove + ")");
        systemFailure(file, "open the file", error, m_fixes);
    }
    const FileDescriptor fd(opened);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        systemFailure(file, "examine the file", errno, m_fixes);
    if (!S_ISREG(info.st_mode))
        refuseFile(file, "is not a regular file (" + m_fixes.remove + ")");
    checkOwnership(file, info, m_fixes.reset, m_fixes.reset);

    const auto tooLarge = [&](std::size_t size) {
        refuseFile(file, "is " + std::to_string(size) + " bytes, more than " + m_fixes.kind +
                             " can be (" + std::to_string(maxSize) + "); " + m_fixes.reset);
    };
    if (static_cast<std::uintmax_t>(info.st_size) > maxSize)
        tooLarge(static_cast<std::size_t>(info.st_size));

    // Read one byte past the bound, in case the file grew after fstat.
    std::string text(maxSize + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            systemFailure(file, "read the file", errno, m_fixes);
        }
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    if (size > maxSize)
        tooLarge(size);
    text.resize(size);
    return text;
}

bool PrivateFolder::publish(const std::filesystem::path &file, std::string_view text, bool replace,
                            const std::function<void()> &beforeReplace) const
{
    static std::atomic<unsigned> serial{0};
    const std::string name = file.filename().string();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        temporary =
            temporaryName(name, ::getpid(), serial++, static_cast<std::uint64_t>(ticks) & 0xffffff);
        fd = ::openat(m_fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            systemFailure(m_folder, "create a temporary file", errno, m_fixes);
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
    } cleanup{m_fd, temporary};

    FileDescriptor out(fd);
    // Locked while being written, so that nobody tidying the folder takes it for a leftover.
    ::flock(out.get(), LOCK_EX | LOCK_NB);
    if (::fchmod(out.get(), 0600) != 0)
        systemFailure(file, "set the permissions of a temporary file", errno, m_fixes);
    if (const int error = writeAll(out.get(), text); error != 0)
        systemFailure(file, "write a temporary file", error, m_fixes);
    if (::close(out.release()) != 0)
        systemFailure(file, "write a temporary file", errno, m_fixes);
    if (beforeReplace)
        beforeReplace();

    if (replace) {
        if (::renameat(m_fd, temporary.c_str(), m_fd, name.c_str()) != 0)
            systemFailure(file, "replace the file", errno, m_fixes);
        cleanup.armed = false;
        return true;
    }
    // link() never replaces, so of two creators racing, exactly one wins.
    if (::linkat(m_fd, temporary.c_str(), m_fd, name.c_str(), 0) != 0) {
        if (errno == EEXIST)
            return false;
        systemFailure(file, "create the file", errno, m_fixes);
    }
    return true;
}

namespace {

bool processIsGone(std::int64_t pid)
{
    return pid > 0 && pid <= std::int64_t(INT32_MAX) && ::kill(static_cast<pid_t>(pid), 0) != 0 &&
           errno == ESRCH;
}

// The byte of the folder a record lock covers to tell a waiting process who holds the update
// lock: F_GETLK reports the holder's process id, flock cannot.
struct flock holderRange(short type)
{
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

} // namespace

// flock on the folder, shared by every thread and process that opens it; the system drops it
// when the folder closes or the holder dies.
void PrivateFolder::lockForUpdate(const std::filesystem::path &file, const UpdateWait &wait)
{
    waitForLock(m_folder, wait, [&] {
        LockTry attempt;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                systemFailure(m_folder, "lock the folder", errno, m_fixes);
            struct flock probe = holderRange(F_WRLCK);
            if (::fcntl(m_fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK && probe.l_pid > 0)
                attempt.holder = probe.l_pid;
            return attempt;
        }
        attempt.taken = true;
        return attempt;
    });
    removeLeftovers(file);
    // Taken only now: closing any descriptor for the folder (as listing it does) drops a
    // record lock. It goes when the folder closes.
    struct flock advertise = holderRange(F_RDLCK);
    ::fcntl(m_fd, F_SETLK, &advertise);
}

void PrivateFolder::removeLeftovers(const std::filesystem::path &file) const
{
    const int listFd = ::openat(m_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
        const auto writer = temporaryWriter(entry->d_name, fileName);
        if (!writer)
            continue;
        const int fd = ::openat(m_fd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const FileDescriptor held(fd);
        struct stat info {};
        // A writer at work holds its temporary file locked.
        if (::fstat(held.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != ::geteuid() || ::flock(held.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
        if (processIsGone(*writer) || now - modified > TemporaryLifetime)
            ::unlinkat(m_fd, entry->d_name, 0);
    }
    ::closedir(list);
}

std::string displayPath(const std::filesystem::path &path)
{
    return path.string();
}

} // namespace velmora
