#pragma once

// What the state file's portable part and its per-platform file handling share. Internal to the
// device layer.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace velmora::sim_state_detail {

inline constexpr std::size_t MaxFileSize = 4096;
inline constexpr std::string_view ResetHint = "run 'velmora-sim reset' to start afresh";
inline constexpr std::string_view RemoveHint = "remove it, then run 'velmora-sim reset'";

// Who the ownership check takes to own `path`, given the owner the system reports: that one,
// unless a test stands another user in here, so that the refusal is tried without root.
inline std::uint32_t (*ownerSeen)(const std::filesystem::path &path,
                                  std::uint32_t reported) = nullptr;

} // namespace velmora::sim_state_detail
