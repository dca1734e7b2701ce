// What the private files do alike on every platform.

#include "files/private_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <thread>

namespace velmora {

namespace {

constexpr std::chrono::milliseconds LockPollInterval{20};
constexpr std::string_view TemporaryInfix = ".tmp.";

std::optional<std::uint64_t> decimal(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

void refuseFile(const std::filesystem::path &path, const std::string &what)
{
    throw FileError(displayPath(path) + ": " + what);
}

std::filesystem::path folderOf(const std::filesystem::path &file)
{
    const auto folder = file.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

void checkFileName(const std::filesystem::path &file)
{
    const std::filesystem::path name = file.filename();
    if (name.empty() || name == "." || name == "..")
        refuseFile(file, "does not name a file");
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

void waitForLock(const std::filesystem::path &path, const UpdateWait &wait,
                 const std::function<LockTry()> &tryLock)
{
    const auto deadline = std::chrono::steady_clock::now() + wait.patience;
    bool told = false;
    for (;;) {
        const LockTry attempt = tryLock();
        if (attempt.taken)
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            const std::string who =
                wait.holderName +
                (attempt.holder ? " (process " + std::to_string(*attempt.holder) + ")" : "");
            const auto seconds =
                std::chrono::duration_cast<std::chrono::duration<double>>(wait.patience);
            char figure[32];
            std::snprintf(figure, sizeof figure, "%g", seconds.count());
            refuseFile(path, who + " has kept it locked for " + figure +
                                 " s; let it finish and try again, or end it if it hangs");
        }
        if (!told && wait.waiting)
            wait.waiting(attempt.holder);
        told = true;
        std::this_thread::sleep_for(LockPollInterval);
    }
}

} // namespace velmora
