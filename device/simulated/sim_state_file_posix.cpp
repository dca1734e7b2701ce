// Where the state file lives on POSIX systems, and how a change to it is noticed.

#include "simulated/sim_state.h"

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

std::filesystem::path SimStateFile::defaultPath()
{
    // A relative XDG_RUNTIME_DIR is invalid and ignored: it would name a different file for
    // each working folder, and the program and velmora-sim must agree on one.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::filesystem::path(runtime) / "velmora" / "simcard";
    return std::filesystem::path("/tmp") / ("velmora-" + std::to_string(::geteuid())) / "simcard";
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

} // namespace velmora
