// What the state file and its reader do alike on every platform: its size limit, its "corrupt"
// wording, the retries of a load, the lock every change takes. The careful file handling is
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

constexpr int LoadAttempts = 5;

PrivateFileFixes stateFileFixes()
{
#ifdef _WIN32
    return {"a state file",
            "remove it (or have it removed), or point LOCALAPPDATA at a private folder",
            std::string(RemoveHint),
            std::string(ResetHint),
            std::string(),
            "point LOCALAPPDATA at a private folder on one that is"};
#else
    // Where the folder is not the user's to mend, say what the user can do instead.
    const std::string elsewhere =
        "set XDG_RUNTIME_DIR to a folder only you can write (for example 'mkdir -m 700 "
        "~/.velmora-run && export XDG_RUNTIME_DIR=~/.velmora-run'), or ask the administrator to "
        "remove it";
    return {"a state file",
            "you cannot use it: " + elsewhere,
            std::string(RemoveHint),
            std::string(ResetHint),
            elsewhere,
            "set XDG_RUNTIME_DIR to a private folder on one that is writable"};
#endif
}

// Loads the file through a folder already opened (and, for a change, locked): on POSIX systems
// a second descriptor for the folder, once closed, would drop the record lock naming the holder.
SimState loadIn(const PrivateFolder &folder, const std::filesystem::path &file)
{
    // Should the file vanish between a failed creation and the read, look again; a few times.
    for (int attempt = 0; attempt < LoadAttempts; ++attempt) {
        if (const std::optional<std::string> text = folder.read(file, MaxFileSize)) {
            try {
                return SimState::parse(*text);
            } catch (const SimStateError &error) {
                refuseFile(file,
                           "corrupt: " + std::string(error.what()) + "; " + std::string(ResetHint));
            }
        }
        const SimState fresh;
        if (folder.publish(file, fresh.format(), false))
            return fresh;
        // Another process created it first: read theirs.
    }
    refuseFile(file, "keeps disappearing while being read; is something else removing it?");
}

// The text to store for `state`, refused where it would pass the size limit (a trace file with
// a very long name), so that nothing is stored that could not be read back.
std::string formatForStore(const std::filesystem::path &file, const SimState &state)
{
    std::string text = state.format();
    if (text.size() > MaxFileSize) {
        refuseFile(file, "cannot store a state of " + std::to_string(text.size()) +
                             " bytes, more than a state file can be (" +
                             std::to_string(MaxFileSize) +
                             "); name a trace file with a shorter path");
    }
    return text;
}

} // namespace

SimStateFile::SimStateFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

SimState SimStateFile::load() const
{
    checkFileName(m_file);
    return loadIn(PrivateFolder(folderOf(m_file), stateFileFixes()), m_file);
}

void SimStateFile::store(const SimState &state, const SimUpdateOptions &options) const
{
    write(&state, {}, options);
}

void SimStateFile::update(const std::function<void(SimState &)> &change,
                          const SimUpdateOptions &options) const
{
    write(nullptr, change, options);
}

void SimStateFile::write(const SimState *replacement, const std::function<void(SimState &)> &change,
                         const SimUpdateOptions &options) const
{
    checkFileName(m_file);
    PrivateFolder folder(folderOf(m_file), stateFileFixes());
    // Two commands changing the card at the same moment must not lose one of the changes.
    UpdateWait wait;
    wait.holderName = "another velmora-sim";
    wait.patience = options.patience;
    wait.waiting = options.waiting;
    folder.lockForUpdate(m_file, wait);
    SimState state = replacement != nullptr ? *replacement : loadIn(folder, m_file);
    if (change)
        change(state);
    folder.publish(m_file, formatForStore(m_file, state), true, options.beforeReplace);
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
