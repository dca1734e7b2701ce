// What the state file and its reader do alike on every platform; the file handling itself is in
// sim_state_file_posix.cpp and sim_state_file_win32.cpp.

#include "simulated/sim_state.h"

#include <utility>

namespace velmora {

SimStateFile::SimStateFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

const SimState &SimStateReader::current()
{
    const std::optional<Identity> before = identify();
    if (before && m_identity && *before == *m_identity)
        return m_state;
    m_identity.reset();
    m_state = m_file.load();
    // Kept only if nothing changed while it was read; otherwise the next read looks again.
    const std::optional<Identity> after = identify();
    if (before && after && *before == *after)
        m_identity = after;
    return m_state;
}

} // namespace velmora
