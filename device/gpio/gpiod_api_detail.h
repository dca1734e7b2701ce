#pragma once

// What the libgpiod 1.x and 2.x implementations of the GPIO seam share.

#include <cerrno>
#include <string>

namespace velmora::gpiod_detail {

// errno right after a failed call; a library that fails without saying why is an I/O error.
inline int lastError()
{
    return errno != 0 ? errno : EIO;
}

// libgpiod answers null for a name or label that is not set.
inline std::string text(const char *s)
{
    return s != nullptr ? std::string(s) : std::string();
}

} // namespace velmora::gpiod_detail
