#include "simulated/trace_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace velmora {

namespace {

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a named pipe";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

std::string octalMode(mode_t mode)
{
    std::string text = "0";
    for (int shift = 6; shift >= 0; shift -= 3)
        text += static_cast<char>('0' + ((mode >> shift) & 7));
    return text;
}

// A regular file of ours that nobody else may write, or why not.
std::optional<std::string> refusal(const struct stat &info)
{
    if (S_ISLNK(info.st_mode))
        return "it is a symbolic link, which a trace never follows; name the file itself";
    if (!S_ISREG(info.st_mode))
        return "it is " + kindOf(info.st_mode) + ", not a regular file; name a regular file";
    if (info.st_uid != ::geteuid()) {
        return "it belongs to user " + std::to_string(info.st_uid) + ", not to you (uid " +
               std::to_string(::geteuid()) + "); name a file of your own";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "others may write it (mode " + octalMode(info.st_mode & 07777) +
               "); run 'chmod go-w' on it, or name another file";
    }
    return std::nullopt;
}

std::string openFailure(int error)
{
    std::string text = std::strerror(error);
    switch (error) {
    case ENOENT:
        return text + "; the folder it would be in does not exist: create it, or name another file";
    case EACCES:
    case EPERM:
        return text + "; name a file in a folder you may write";
    case EROFS:
        return text + "; name a file on a file system that is writable";
    case EISDIR:
        return "it is a folder, not a regular file; name a regular file";
    case ENOSPC:
    case EDQUOT:
        return text + "; free some space, or name a file elsewhere";
    case ENXIO: // a named pipe nobody reads, opened without waiting
        return "it is a named pipe, not a regular file; name a regular file";
    default:
        return text + "; name another file";
    }
}

} // namespace

std::optional<std::string> TraceFile::open(const std::string &path)
{
    close();
    // Looked at first, so that a device or a pipe is never opened at all.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (auto refused = refusal(info))
            return refused;
    }
    // O_NONBLOCK: should a pipe be put in its place meanwhile, the open must not wait for it.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP && ::lstat(path.c_str(), &info) == 0)
            return refusal(info).value_or(openFailure(error));
        return openFailure(error);
    }
    m_fd = fd;
    // What was opened is what counts: the name may have been swapped after the first look.
    if (::fstat(m_fd, &info) != 0) {
        const int error = errno;
        close();
        return openFailure(error);
    }
    if (auto refused = refusal(info)) {
        close();
        return refused;
    }
    return std::nullopt;
}

void TraceFile::close() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool TraceFile::isOpen() const noexcept
{
    return m_fd >= 0;
}

std::optional<std::string> TraceFile::append(std::string_view line)
{
    const ssize_t written = ::write(m_fd, line.data(), line.size());
    if (written < 0)
        return std::string(std::strerror(errno));
    if (static_cast<std::size_t>(written) != line.size())
        return std::string("the disk took only part of a line");
    return std::nullopt;
}

std::int64_t TraceFile::monotonicNs() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

} // namespace velmora
