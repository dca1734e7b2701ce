#pragma once

#include "files/private_file.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velmora {

// What drives the simulated card from outside the program: the values its three ports
// deliver as inputs, a moving demonstration pattern, and faults to inject per operation.
enum class SimPattern { Off, Count, Walk, Random };
enum class SimFaultMode { None, False, Error, NoBool };
enum class SimOperation { Read0, Read1, Configure, Select };

inline constexpr std::size_t SimPortCount = 3;
inline constexpr std::size_t SimOperationCount = 4;

struct SimState {
    // Full 16-bit register values; the low byte is what the port's eight lines carry.
    std::array<std::uint16_t, SimPortCount> ports{};
    SimPattern pattern = SimPattern::Count; // a fresh card demonstrates itself
    std::array<SimFaultMode, SimOperationCount> faults{};
    // Where the card appends a line per ReadPort, for measuring; empty: no trace.
    std::string trace;

    SimFaultMode fault(SimOperation op) const { return faults[static_cast<std::size_t>(op)]; }

    // The values the ports deliver at `now`: the pattern, computed from the clock alone, drives
    // ports 0 and 1; port 2 and every port with the pattern off deliver the stored values.
    std::array<std::uint16_t, SimPortCount>
    portValuesAt(std::chrono::system_clock::time_point now) const;

    // The state file's text, and its strict reading: anything else is refused with a reason.
    std::string format() const;
    static SimState parse(std::string_view text); // throws SimStateError (reason, no path)

    friend bool operator==(const SimState &, const SimState &) = default;
};

// A register value as a user or the state file writes it: decimal, or 0x followed by hex
// digits. Values past 0xffff come back as 0x10000, so that they read as out of range; text
// that is not such a number comes back empty.
std::optional<std::uint32_t> parseRegisterNumber(std::string_view text);

std::string_view toString(SimPattern pattern);
std::string_view toString(SimFaultMode mode);
std::string_view toString(SimOperation op);
std::optional<SimPattern> patternFromString(std::string_view text);
std::optional<SimFaultMode> faultModeFromString(std::string_view text);
std::optional<SimOperation> operationFromString(std::string_view text);

// Text from outside as a message shows it: control characters, and bytes that are not UTF-8,
// as \xNN escapes, so that nothing reaches a terminal as a command.
std::string printable(std::string_view text);
// A value as a message quotes it: printable, in single quotes, cut after `limit` characters.
std::string quotedValue(std::string_view text, std::size_t limit = 32);

// A refusal of the state file, or of a user's value for it; names the path (where there is
// one) and the fix.
using SimStateError = FileError;

// How a change of the state file meets another process changing it at the same moment.
struct SimUpdateOptions {
    static constexpr std::chrono::milliseconds DefaultPatience = UpdateWait::DefaultPatience;

    // How long to wait for the other change before giving up with a SimStateError.
    std::chrono::milliseconds patience = DefaultPatience;
    // Told once, as the wait begins: the process id of the one holding the lock where the
    // system can tell it.
    std::function<void(std::optional<std::int64_t> holder)> waiting;
    // Called with the lock held and the new state in its temporary file, just before it
    // replaces the state file; lets a test hold a change at its most delicate point.
    std::function<void()> beforeReplace;
};

// The state file. Never follows a symlink (on Windows: any reparse point), refuses a folder or
// file owned by another user, creates what is missing (folder 0700, file 0600; on Windows with
// an access list for the user alone) in a fresh card's state, and replaces the file atomically
// so that a reader never sees half a write. Whoever changes it holds a lock on its folder, and
// removes what a writer killed half-way left behind. Every failure is a SimStateError whose message
// names the path and the fix.
class SimStateFile final {
public:
    explicit SimStateFile(std::filesystem::path file);

    // $XDG_RUNTIME_DIR/velmora/simcard, or /tmp/velmora-UID/simcard without XDG_RUNTIME_DIR.
    // On Windows %LOCALAPPDATA%\Velmora\simcard, or the known local application data folder
    // where LOCALAPPDATA is unset; throws SimStateError where neither is known.
    static std::filesystem::path defaultPath();

    const std::filesystem::path &path() const noexcept { return m_file; }

    SimState load() const;
    // Replaces the file with `state` without reading it (so that it also mends a corrupt one),
    // as one step that other changes wait for.
    void store(const SimState &state, const SimUpdateOptions &options = {}) const;
    // Load, change and store as one step that other changes wait for.
    void update(const std::function<void(SimState &)> &change,
                const SimUpdateOptions &options = {}) const;

private:
    // Under the lock: `replacement`, or else the file's state, changed by `change`, stored.
    void write(const SimState *replacement, const std::function<void(SimState &)> &change,
               const SimUpdateOptions &options) const;

    std::filesystem::path m_file;
};

// Reads the state file for a card that reads it many times a second: the file is read, checked
// and parsed again only when it has changed (another file put in its place, new content, new
// owner or permissions), so an unchanged file costs one stat per read (on Windows an open and
// two queries of its attributes), not an open, a read and a parse.
class SimStateReader final {
public:
    explicit SimStateReader(SimStateFile file)
        : m_file(std::move(file))
    {}

    const SimStateFile &file() const noexcept { return m_file; }
    // Throws SimStateError as SimStateFile::load does.
    const SimState &current();

private:
    // On Windows: volume serial, file index, size, last write and change time (100 ns units),
    // attributes; no owner.
    struct Identity {
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedNs = 0, changedNs = 0;
        std::uint32_t mode = 0, owner = 0;
        friend bool operator==(const Identity &, const Identity &) = default;
    };
    std::optional<Identity> identify() const;

    SimStateFile m_file;
    std::optional<Identity> m_identity;
    SimState m_state;
};

} // namespace velmora
