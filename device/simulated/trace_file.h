#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The file the simulated card appends a line to per port read while a trace runs. Kept open
// while tracing, so that tracing costs one write per read.
class TraceFile final {
public:
    TraceFile() noexcept = default;
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;
    ~TraceFile() { close(); }

    // Opens `path` (absolute; UTF-8 on Windows) for appending, creating it private to the user,
    // with the state file's care: never through a symbolic link, never waiting (a named pipe is
    // refused, not opened), a regular file of the user's that nobody else may write. Returns
    // why it could not and what to do, without the path.
    std::optional<std::string> open(const std::string &path);
    void close() noexcept;
    bool isOpen() const noexcept;
    // Appends `line` in one write; returns why it could not.
    std::optional<std::string> append(std::string_view line);

    // Nanoseconds of a clock that only moves forwards, for the trace's time stamps.
    static std::int64_t monotonicNs() noexcept;

private:
#ifdef _WIN32
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace velmora
