#pragma once

// What the state file's portable part and the rest of the simulated card share. Internal to the
// device layer.

#include <cstddef>
#include <string_view>

namespace velmora::sim_state_detail {

inline constexpr std::size_t MaxFileSize = 4096;
inline constexpr std::string_view ResetHint = "run 'velmora-sim reset' to start afresh";
inline constexpr std::string_view RemoveHint = "remove it, then run 'velmora-sim reset'";

} // namespace velmora::sim_state_detail
