#include "simulated/trace_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace velmora {

std::optional<std::string> TraceFile::open(const std::string &path)
{
    close();
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0)
        return std::string(std::strerror(errno));
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
    if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return std::string(std::strerror(errno));
    return std::nullopt;
}

std::int64_t TraceFile::monotonicNs() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

} // namespace velmora
