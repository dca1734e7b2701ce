// The state file on POSIX systems: descriptors relative to the opened folder, flock for updates.

#include "simulated/sim_state.h"
#include "simulated/sim_state_detail.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

using sim_state_detail::MaxFileSize;
using sim_state_detail::RemoveHint;
using sim_state_detail::ResetHint;

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
    const std::uint32_t owner = sim_state_detail::ownerSeen != nullptr
                                    ? sim_state_detail::ownerSeen(path, info.st_uid)
                                    : info.st_uid;
    if (owner != ::geteuid()) {
        refuse(path, "owned by user " + std::to_string(owner) + ", not by you (uid " +
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
            if (S_ISLNK(info.st_mode)) {
                refuse(folder, "is a symbolic link; refusing to follow it (" +
                                   std::string(RemoveHint) + ")");
            }
            if (!S_ISDIR(info.st_mode))
                refuse(folder, "is not a folder (" + std::string(RemoveHint) + ")");
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
    checkOwnership(folder, info,
                   "remove it (or have it removed), or point XDG_RUNTIME_DIR at a private folder",
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
bool publish(int dir, const std::filesystem::path &file, std::string_view text, bool replace)
{
    static std::atomic<unsigned> serial{0};
    const std::string name = file.filename().string();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        temporary = "." + name + ".tmp." + std::to_string(::getpid()) + '.' +
                    std::to_string(serial++) + '.' + std::to_string(ticks & 0xffffff);
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
    if (::fchmod(out.get(), 0600) != 0)
        systemFailure(file, "set the permissions of a temporary file", errno);
    if (const int error = writeAll(out.get(), text); error != 0)
        systemFailure(file, "write a temporary file", error);
    if (::close(out.release()) != 0)
        systemFailure(file, "write a temporary file", errno);

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

SimState readState(const std::filesystem::path &file, FileDescriptor fd)
{
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        systemFailure(file, "examine the file", errno);
    if (!S_ISREG(info.st_mode))
        refuse(file, "is not a regular file (" + std::string(RemoveHint) + ")");
    // velmora-sim reset replaces the file with one of ours, mode 0600.
    checkOwnership(file, info, std::string(ResetHint), std::string(ResetHint));

    const auto tooLarge = [&](std::size_t size) {
        refuse(file, "is " + std::to_string(size) + " bytes, more than a state file can be (" +
                         std::to_string(MaxFileSize) + "); " + std::string(ResetHint));
    };
    if (static_cast<std::uintmax_t>(info.st_size) > MaxFileSize)
        tooLarge(static_cast<std::size_t>(info.st_size));

    // Read one byte past the bound, in case the file grew after fstat.
    std::string text(MaxFileSize + 1, '\0');
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
    if (size > MaxFileSize)
        tooLarge(size);
    text.resize(size);
    try {
        return SimState::parse(text);
    } catch (const SimStateError &error) {
        refuse(file, "corrupt: " + std::string(error.what()) + "; " + std::string(ResetHint));
    }
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
    const std::string name = m_file.filename().string();
    if (name.empty() || name == "." || name == "..")
        refuse(m_file, "does not name a file");
    const FileDescriptor dir = openFolder(folderOf(m_file));

    // Should the file vanish between a failed creation and the read, look again; a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        // O_NONBLOCK: a FIFO planted here must be refused, not waited on.
        const int fd = ::openat(dir.get(), name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0)
            return readState(m_file, FileDescriptor(fd));
        const int error = errno;
        if (error == ELOOP) {
            refuse(m_file,
                   "is a symbolic link; refusing to follow it (" + std::string(RemoveHint) + ")");
        }
        if (error != ENOENT)
            systemFailure(m_file, "open the file", error);

        const SimState fresh;
        if (publish(dir.get(), m_file, fresh.format(), false))
            return fresh;
        // Another process created it first: read theirs.
    }
    refuse(m_file, "keeps disappearing while being read; is something else removing it?");
}

void SimStateFile::store(const SimState &state) const
{
    const std::string name = m_file.filename().string();
    if (name.empty() || name == "." || name == "..")
        refuse(m_file, "does not name a file");
    const FileDescriptor dir = openFolder(folderOf(m_file));
    publish(dir.get(), m_file, state.format(), true);
}

void SimStateFile::update(const std::function<void(SimState &)> &change) const
{
    const std::filesystem::path folder = folderOf(m_file);
    const FileDescriptor dir = openFolder(folder);
    // Two commands changing the card at the same moment must not lose one of the changes.
    while (::flock(dir.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            systemFailure(folder, "lock the folder", errno);
    }
    SimState state = load();
    change(state);
    store(state);
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
