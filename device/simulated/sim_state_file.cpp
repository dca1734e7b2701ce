// What the state file and its reader do alike on every platform. The careful file handling is
// files/private_file's; where the file lives and how a change is noticed are in
// sim_state_file_posix.cpp and sim_state_file_win32.cpp.

#include "simulated/sim_state.h"
#include "simulated/sim_state_detail.h"

#include <utility>

namespace velmora {

namespace {

using sim_state_detail::MaxFileSize;
using sim_state_detail::RemoveHint;
using sim_state_detail::ResetHint;

PrivateFileFixes stateFileFixes()
{
#ifdef _WIN32
    const char *folderOwner =
        "remove it (or have it removed), or point LOCALAPPDATA at a private folder";
#else
    const char *folderOwner =
        "remove it (or have it removed), or point XDG_RUNTIME_DIR at a private folder";
#endif
    return {"a state file", folderOwner, std::string(RemoveHint), std::string(ResetHint)};
}

} // namespace

SimStateFile::SimStateFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

SimState SimStateFile::load() const
{
    checkFileName(m_file);
    const PrivateFolder folder(folderOf(m_file), stateFileFixes());
    // Should the file vanish between a failed creation and the read, look again; a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (const std::optional<std::string> text = folder.read(m_file, MaxFileSize)) {
            try {
                return SimState::parse(*text);
            } catch (const SimStateError &error) {
                refuseFile(m_file,
                           "corrupt: " + std::string(error.what()) + "; " + std::string(ResetHint));
            }
        }
        const SimState fresh;
        if (folder.publish(m_file, fresh.format(), false))
            return fresh;
        // Another process created it first: read theirs.
    }
    refuseFile(m_file, "keeps disappearing while being read; is something else removing it?");
}

void SimStateFile::store(const SimState &state) const
{
    checkFileName(m_file);
    const PrivateFolder folder(folderOf(m_file), stateFileFixes());
    folder.publish(m_file, state.format(), true);
}

void SimStateFile::update(const std::function<void(SimState &)> &change) const
{
    checkFileName(m_file);
    PrivateFolder folder(folderOf(m_file), stateFileFixes());
    // Two commands changing the card at the same moment must not lose one of the changes.
    folder.lockForUpdate(m_file);
    SimState state = load();
    change(state);
    store(state);
}

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
