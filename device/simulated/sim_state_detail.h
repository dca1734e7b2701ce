#pragma once

// What the state file's portable part and its per-platform file handling share. Internal to the
// device layer.

#include "simulated/sim_state.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::sim_state_detail {

inline constexpr std::size_t MaxFileSize = 4096;
inline constexpr std::string_view ResetHint = "run 'velmora-sim reset' to start afresh";
inline constexpr std::string_view RemoveHint = "remove it, then run 'velmora-sim reset'";
// A temporary file older than this is nobody's work in progress, whoever has its process id now.
inline constexpr std::chrono::hours TemporaryLifetime{1};

// The state file's bytes as the platform read them: at most MaxFileSize + 1, and the size the
// system reported before reading.
struct FileText {
    std::string text;
    std::uintmax_t reportedSize = 0;
};

// Loads the state file: `read` gives its text or nothing where there is none, `createIfAbsent`
// puts a fresh card's text in place unless another process did so first (then it returns false
// and the file is read again). Applies the size limit and says "corrupt" with the fix.
SimState loadState(const std::string &shownPath,
                   const std::function<std::optional<FileText>()> &read,
                   const std::function<bool(std::string_view)> &createIfAbsent);

// The text to store for `state`, refused where it would pass the size limit (a trace file with
// a very long name), so that nothing is stored that could not be read back.
std::string formatForStore(const std::string &shownPath, const SimState &state);

// One try at the update lock: taken, or held by someone else (by that process, where known).
struct LockTry {
    bool taken = false;
    std::optional<std::int64_t> holder;
};

// Tries `tryLock` until it is taken, telling `options.waiting` once, and gives up after
// `options.patience` with a SimStateError naming `shownPath`.
void waitForLock(const std::string &shownPath, const SimUpdateOptions &options,
                 const std::function<LockTry()> &tryLock);

// The temporary files a writer of `fileName` makes: ".NAME.tmp.PID.SERIAL.TICKS".
std::string temporaryName(std::string_view fileName, std::int64_t pid, unsigned serial,
                          std::uint64_t ticks);
// The writer's process id where `name` is such a temporary file of `fileName`, else nothing.
std::optional<std::int64_t> temporaryWriter(std::string_view name, std::string_view fileName);

} // namespace velmora::sim_state_detail
