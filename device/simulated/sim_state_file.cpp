// What the state file and its reader do alike on every platform; the file handling itself is in
// sim_state_file_posix.cpp and sim_state_file_win32.cpp.

#include "simulated/sim_state.h"
#include "simulated/sim_state_detail.h"

#include <charconv>
#include <thread>
#include <utility>

namespace velmora {

namespace sim_state_detail {

namespace {

constexpr int LoadAttempts = 5;
constexpr std::chrono::milliseconds LockPollInterval{20};
constexpr std::string_view TemporaryInfix = ".tmp.";

[[noreturn]] void refuse(const std::string &shownPath, const std::string &what)
{
    throw SimStateError(shownPath + ": " + what);
}

std::optional<std::uint64_t> decimal(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

SimState loadState(const std::string &shownPath,
                   const std::function<std::optional<FileText>()> &read,
                   const std::function<bool(std::string_view)> &createIfAbsent)
{
    // Should the file vanish between a failed creation and the read, look again; a few times.
    for (int attempt = 0; attempt < LoadAttempts; ++attempt) {
        if (const std::optional<FileText> file = read()) {
            const std::uintmax_t size =
                std::max<std::uintmax_t>(file->reportedSize, file->text.size());
            if (size > MaxFileSize) {
                refuse(shownPath, "is " + std::to_string(size) +
                                      " bytes, more than a state file can be (" +
                                      std::to_string(MaxFileSize) + "); " + std::string(ResetHint));
            }
            try {
                return SimState::parse(file->text);
            } catch (const SimStateError &error) {
                refuse(shownPath,
                       "corrupt: " + std::string(error.what()) + "; " + std::string(ResetHint));
            }
        }
        const SimState fresh;
        if (createIfAbsent(fresh.format()))
            return fresh;
        // Another process created it first: read theirs.
    }
    refuse(shownPath, "keeps disappearing while being read; is something else removing it?");
}

std::string formatForStore(const std::string &shownPath, const SimState &state)
{
    std::string text = state.format();
    if (text.size() > MaxFileSize) {
        refuse(shownPath, "cannot store a state of " + std::to_string(text.size()) +
                              " bytes, more than a state file can be (" +
                              std::to_string(MaxFileSize) +
                              "); name a trace file with a shorter path");
    }
    return text;
}

void waitForLock(const std::string &shownPath, const SimUpdateOptions &options,
                 const std::function<LockTry()> &tryLock)
{
    const auto deadline = std::chrono::steady_clock::now() + options.patience;
    bool told = false;
    for (;;) {
        const LockTry attempt = tryLock();
        if (attempt.taken)
            return;
        const std::string who =
            "another velmora-sim" +
            (attempt.holder ? " (process " + std::to_string(*attempt.holder) + ")" : "");
        if (std::chrono::steady_clock::now() >= deadline) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::duration<double>>(options.patience);
            char figure[32];
            std::snprintf(figure, sizeof figure, "%g", seconds.count());
            refuse(shownPath, who + " has kept it locked for " + figure +
                                  " s; let it finish and try again, or end it if it hangs");
        }
        if (!told && options.waiting)
            options.waiting(attempt.holder);
        told = true;
        std::this_thread::sleep_for(LockPollInterval);
    }
}

std::string temporaryName(std::string_view fileName, std::int64_t pid, unsigned serial,
                          std::uint64_t ticks)
{
    return "." + std::string(fileName) + std::string(TemporaryInfix) + std::to_string(pid) + '.' +
           std::to_string(serial) + '.' + std::to_string(ticks);
}

std::optional<std::int64_t> temporaryWriter(std::string_view name, std::string_view fileName)
{
    if (!name.starts_with('.'))
        return std::nullopt;
    name.remove_prefix(1);
    if (!name.starts_with(fileName))
        return std::nullopt;
    name.remove_prefix(fileName.size());
    if (!name.starts_with(TemporaryInfix))
        return std::nullopt;
    name.remove_prefix(TemporaryInfix.size());
    // Three decimal numbers: the writer's process id, a serial and a clock reading.
    std::array<std::uint64_t, 3> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const std::size_t dot = i + 1 < numbers.size() ? name.find('.') : name.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const auto number = decimal(name.substr(0, dot));
        if (!number)
            return std::nullopt;
        numbers[i] = *number;
        name.remove_prefix(std::min(dot + 1, name.size()));
    }
    if (numbers[0] == 0 || numbers[0] > std::uint64_t(INT64_MAX))
        return std::nullopt;
    return static_cast<std::int64_t>(numbers[0]);
}

} // namespace sim_state_detail

SimStateFile::SimStateFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

void SimStateFile::store(const SimState &state, const SimUpdateOptions &options) const
{
    write(&state, {}, options);
}

void SimStateFile::update(const std::function<void(SimState &)> &change,
                          const SimUpdateOptions &options) const
{
    write(nullptr, change, options);
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
