#include "sim_state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

constexpr std::string_view Magic = "velmora-simcard";
constexpr std::string_view Version = "1";
constexpr std::size_t MaxFileSize = 4096;
constexpr std::string_view ResetHint = "run 'velmora-sim reset' to start afresh";
constexpr std::string_view RemoveHint = "remove it, then run 'velmora-sim reset'";

// Indexed by the enums' values.
constexpr std::array<std::string_view, 4> PatternNames{"off", "count", "walk", "random"};
constexpr std::array<std::string_view, 4> FaultModeNames{"none", "false", "error", "nobool"};
constexpr std::array<std::string_view, SimOperationCount> OperationNames{"read0", "read1",
                                                                         "configure", "select"};

template<typename Enum, std::size_t N>
std::string_view nameOf(const std::array<std::string_view, N> &names, Enum value)
{
    const auto index = static_cast<std::size_t>(value);
    return index < N ? names[index] : std::string_view("invalid");
}

template<typename Enum, std::size_t N>
std::optional<Enum> fromName(const std::array<std::string_view, N> &names, std::string_view text)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == text)
            return static_cast<Enum>(i);
    }
    return std::nullopt;
}

std::uint64_t splitmix64(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

std::string hex4(std::uint16_t value)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += Digits[(value >> shift) & 0xf];
    return text;
}

std::string quoted(std::string_view text)
{
    // Bytes are already known to be printable here; only the length needs bounding.
    constexpr std::size_t Shown = 32;
    std::string result(1, '\'');
    result.append(text.substr(0, Shown));
    if (text.size() > Shown)
        result.append("...");
    result.push_back('\'');
    return result;
}

[[noreturn]] void refuseLine(std::size_t line, const std::string &reason)
{
    throw SimStateError("line " + std::to_string(line) + ": " + reason);
}

void checkBytes(std::string_view line, std::size_t lineNo)
{
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0)
            refuseLine(lineNo, "contains a NUL byte");
        if (byte == '\r')
            refuseLine(lineNo, "contains a carriage return (Windows line ending)");
        if (byte < 0x20 || byte > 0x7e) {
            static constexpr char Digits[] = "0123456789abcdef";
            refuseLine(lineNo, std::string("contains byte 0x") + Digits[byte >> 4] +
                                   Digits[byte & 0xf] + ", which has no place in a state file");
        }
    }
}

// A register value: decimal, or 0x followed by hex digits; nothing else, no sign, no spaces.
std::uint16_t parsePortField(std::string_view key, std::string_view text, std::size_t lineNo)
{
    const auto prefix = std::string(key) + " value " + quoted(text);
    const std::optional<std::uint32_t> value = parseRegisterNumber(text);
    if (!value)
        refuseLine(lineNo, prefix + " is not a number");
    if (*value > 0xffff)
        refuseLine(lineNo, prefix + " is out of range (0x0000 to 0xffff)");
    return static_cast<std::uint16_t>(*value);
}

// Each line after the first sets one of these keys, each exactly once.
constexpr std::size_t PatternKey = SimPortCount;
constexpr std::size_t FirstFaultKey = SimPortCount + 1;
constexpr std::size_t TraceKey = FirstFaultKey + SimOperationCount;
constexpr std::size_t KeyCount = TraceKey + 1;

std::string keyName(std::size_t key)
{
    if (key < SimPortCount)
        return "port" + std::to_string(key);
    if (key == PatternKey)
        return "pattern";
    if (key == TraceKey)
        return "trace";
    return "fault " + std::string(OperationNames[key - FirstFaultKey]);
}

} // namespace

std::optional<std::uint32_t> parseRegisterNumber(std::string_view text)
{
    std::string_view digits = text;
    unsigned base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty())
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        // Saturate rather than wrap, so that a long number still reads as out of range.
        value = std::min<std::uint32_t>(value * base + digit, 0x10000);
    }
    return value;
}

std::string_view toString(SimPattern pattern)
{
    return nameOf(PatternNames, pattern);
}

std::string_view toString(SimFaultMode mode)
{
    return nameOf(FaultModeNames, mode);
}

std::string_view toString(SimOperation op)
{
    return nameOf(OperationNames, op);
}

std::optional<SimPattern> patternFromString(std::string_view text)
{
    return fromName<SimPattern>(PatternNames, text);
}

std::optional<SimFaultMode> faultModeFromString(std::string_view text)
{
    return fromName<SimFaultMode>(FaultModeNames, text);
}

std::optional<SimOperation> operationFromString(std::string_view text)
{
    return fromName<SimOperation>(OperationNames, text);
}

std::array<std::uint16_t, SimPortCount>
SimState::portValuesAt(std::chrono::system_clock::time_point now) const
{
    using namespace std::chrono;
    using Quarters = duration<std::int64_t, std::ratio<1, 4>>;
    using Tenths = duration<std::int64_t, std::ratio<1, 10>>;

    // floor, not duration_cast: a step must last its full period on both sides of the epoch.
    const auto sinceEpoch = now.time_since_epoch();
    std::uint16_t lines = 0;
    switch (pattern) {
    case SimPattern::Count:
        lines = static_cast<std::uint16_t>(floor<seconds>(sinceEpoch).count());
        break;
    case SimPattern::Walk:
        lines = static_cast<std::uint16_t>(
            1u << (static_cast<std::uint64_t>(floor<Quarters>(sinceEpoch).count()) % 16));
        break;
    case SimPattern::Random:
        lines = static_cast<std::uint16_t>(
            splitmix64(static_cast<std::uint64_t>(floor<Tenths>(sinceEpoch).count())) >> 48);
        break;
    case SimPattern::Off:
    default:
        return ports;
    }
    auto values = ports;
    values[0] = lines & 0xff;
    values[1] = static_cast<std::uint16_t>(lines >> 8);
    return values;
}

std::string SimState::format() const
{
    std::string text = std::string(Magic) + ' ' + std::string(Version) + '\n';
    for (std::size_t i = 0; i < SimPortCount; ++i)
        text += "port" + std::to_string(i) + ' ' + hex4(ports[i]) + '\n';
    text += "pattern " + std::string(toString(pattern)) + '\n';
    for (std::size_t i = 0; i < SimOperationCount; ++i) {
        text += "fault " + std::string(OperationNames[i]) + ' ' + std::string(toString(faults[i])) +
                '\n';
    }
    if (!trace.empty())
        text += "trace " + trace + '\n';
    return text;
}

SimState SimState::parse(std::string_view text)
{
    if (text.empty())
        throw SimStateError("empty");
    if (text.size() > MaxFileSize) {
        throw SimStateError(std::to_string(text.size()) + " bytes, more than the " +
                            std::to_string(MaxFileSize) + " a state file may hold");
    }

    SimState state;
    std::array<std::size_t, KeyCount> seenOnLine{};
    std::size_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        ++lineNo;
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        checkBytes(line, lineNo);

        if (lineNo == 1) {
            const std::string expected = std::string(Magic) + ' ' + std::string(Version);
            if (line == expected)
                continue;
            const std::string magicPrefix = std::string(Magic) + ' ';
            if (line.starts_with(magicPrefix)) {
                refuseLine(1, "unsupported version " + quoted(line.substr(magicPrefix.size())) +
                                  " (this program reads version " + std::string(Version) + ")");
            }
            refuseLine(1, "not a simulated-card state file (expected '" + expected + "')");
        }
        if (line.empty())
            refuseLine(lineNo, "empty line");

        // Exactly one space between fields, none at either end.
        std::array<std::string_view, 3> fields;
        std::size_t fieldCount = 0;
        for (std::size_t start = 0;;) {
            const std::size_t space = std::min(line.find(' ', start), line.size());
            if (space == start)
                refuseLine(lineNo, "fields must be separated by single spaces");
            if (fieldCount == fields.size())
                refuseLine(lineNo, "too many fields");
            fields[fieldCount++] = line.substr(start, space - start);
            if (space == line.size())
                break;
            start = space + 1;
        }

        const std::string_view name = fields[0];
        std::size_t key = KeyCount;
        std::size_t wantedFields = 2;
        if (name.size() == 5 && name.starts_with("port") && name[4] >= '0' &&
            static_cast<std::size_t>(name[4] - '0') < SimPortCount) {
            key = static_cast<std::size_t>(name[4] - '0');
        } else if (name == "pattern") {
            key = PatternKey;
        } else if (name == "trace") {
            key = TraceKey;
        } else if (name == "fault") {
            wantedFields = 3;
            if (fieldCount >= 2) {
                const auto op = operationFromString(fields[1]);
                if (!op) {
                    refuseLine(lineNo, "unknown operation " + quoted(fields[1]) +
                                           " (read0, read1, configure or select)");
                }
                key = FirstFaultKey + static_cast<std::size_t>(*op);
            }
        } else {
            refuseLine(lineNo, "unknown key " + quoted(name));
        }
        if (fieldCount != wantedFields) {
            refuseLine(lineNo, std::string(name) + " takes " +
                                   (wantedFields == 2 ? "one value" : "an operation and a mode"));
        }
        if (seenOnLine[key] != 0) {
            refuseLine(lineNo, "duplicate " + keyName(key) + " (first on line " +
                                   std::to_string(seenOnLine[key]) + ")");
        }
        seenOnLine[key] = lineNo;

        if (key < SimPortCount) {
            state.ports[key] = parsePortField(name, fields[1], lineNo);
        } else if (key == TraceKey) {
            if (!fields[1].starts_with('/'))
                refuseLine(lineNo, "trace file " + quoted(fields[1]) + " is not an absolute path");
            state.trace = std::string(fields[1]);
        } else if (key == PatternKey) {
            const auto pattern = patternFromString(fields[1]);
            if (!pattern) {
                refuseLine(lineNo, "unknown pattern " + quoted(fields[1]) +
                                       " (off, count, walk or random)");
            }
            state.pattern = *pattern;
        } else {
            const auto mode = faultModeFromString(fields[2]);
            if (!mode) {
                refuseLine(lineNo, "unknown fault mode " + quoted(fields[2]) +
                                       " (none, false, error or nobool)");
            }
            state.faults[key - FirstFaultKey] = *mode;
        }
    }
    for (std::size_t key = 0; key < KeyCount; ++key) {
        if (seenOnLine[key] == 0 && key != TraceKey) // a trace is optional
            throw SimStateError("no " + keyName(key) + " line");
    }
    return state;
}

// ---- the state file ----

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept
        : m_fd(fd)
    {}
    FileDescriptor(FileDescriptor &&other) noexcept
        : m_fd(other.release())
    {}
    FileDescriptor &operator=(FileDescriptor &&) = delete;
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const noexcept { return m_fd; }
    int release() noexcept { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

[[noreturn]] void refuse(const std::filesystem::path &path, const std::string &what)
{
    throw SimStateError(path.string() + ": " + what);
}

// A system call failed: say which, why, and where to look.
[[noreturn]] void systemFailure(const std::filesystem::path &path, const std::string &action,
                                int error)
{
    std::string text = "cannot " + action + ": " + std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        text += " (check the permissions of the folders above it)";
        break;
    case ENOENT:
        text += " (a folder above it is missing)";
        break;
    case ENOSPC:
    case EDQUOT:
        text += " (free some space, then try again)";
        break;
    case EISDIR:
        text += " (" + std::string(RemoveHint) + ")";
        break;
    default:
        break;
    }
    refuse(path, text);
}

std::string octalMode(mode_t mode)
{
    std::string text = "0";
    for (int shift = 6; shift >= 0; shift -= 3)
        text += static_cast<char>('0' + ((mode >> shift) & 7));
    return text;
}

// The same rules hold for the folder and the file: ours, and writable by nobody else.
void checkOwnership(const std::filesystem::path &path, const struct stat &info,
                    const std::string &ownerFix, const std::string &modeFix)
{
    if (info.st_uid != ::geteuid()) {
        refuse(path, "owned by user " + std::to_string(info.st_uid) + ", not by you (uid " +
                         std::to_string(::geteuid()) + "); " + ownerFix);
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refuse(path, "writable by group or others (mode " + octalMode(info.st_mode & 07777) +
                         "); " + modeFix);
    }
}

std::filesystem::path folderOf(const std::filesystem::path &file)
{
    const auto folder = file.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

// Opens the state file's folder without following a symlink, creating it (0700) if missing.
FileDescriptor openFolder(const std::filesystem::path &folder)
{
    constexpr int Flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    bool created = false;
    int fd = ::open(folder.c_str(), Flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdir(folder.c_str(), 0700) == 0)
            created = true;
        else if (errno != EEXIST)
            systemFailure(folder, "create the folder", errno);
        fd = ::open(folder.c_str(), Flags);
    }
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        if ((error == ELOOP || error == ENOTDIR) && ::lstat(folder.c_str(), &info) == 0) {
            if (S_ISLNK(info.st_mode)) {
                refuse(folder, "is a symbolic link; refusing to follow it (" +
                                   std::string(RemoveHint) + ")");
            }
            if (!S_ISDIR(info.st_mode))
                refuse(folder, "is not a folder (" + std::string(RemoveHint) + ")");
        }
        systemFailure(folder, "open the folder", error);
    }
    FileDescriptor dir(fd);
    // A restrictive umask may have taken bits the owner needs.
    if (created && ::fchmod(dir.get(), 0700) != 0)
        systemFailure(folder, "set the folder's permissions", errno);
    struct stat info {};
    if (::fstat(dir.get(), &info) != 0)
        systemFailure(folder, "examine the folder", errno);
    checkOwnership(folder, info,
                   "remove it (or have it removed), or point XDG_RUNTIME_DIR at a private folder",
                   "run 'chmod 700 " + folder.string() + "'");
    return dir;
}

// Returns 0, or the errno of the failed write.
int writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// Writes `text` to a fresh temporary file beside the state file, then moves it into place:
// replacing the old file, or only if there is none yet. Either way a reader sees the old
// content or the new, never part of it. Returns false when not replacing and a file was there.
bool publish(int dir, const std::filesystem::path &file, std::string_view text, bool replace)
{
    static std::atomic<unsigned> serial{0};
    const std::string name = file.filename().string();
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        temporary = "." + name + ".tmp." + std::to_string(::getpid()) + '.' +
                    std::to_string(serial++) + '.' + std::to_string(ticks & 0xffffff);
        fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            systemFailure(folderOf(file), "create a temporary file", errno);
    }

    // Whatever goes wrong from here on, the temporary file must not be left behind.
    struct RemoveTemporary {
        int dir;
        const std::string &name;
        bool armed = true;
        ~RemoveTemporary()
        {
            if (armed)
                ::unlinkat(dir, name.c_str(), 0);
        }
    } cleanup{dir, temporary};

    FileDescriptor out(fd);
    if (::fchmod(out.get(), 0600) != 0)
        systemFailure(file, "set the permissions of a temporary file", errno);
    if (const int error = writeAll(out.get(), text); error != 0)
        systemFailure(file, "write a temporary file", error);
    if (::close(out.release()) != 0)
        systemFailure(file, "write a temporary file", errno);

    if (replace) {
        if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0)
            systemFailure(file, "replace the file", errno);
        cleanup.armed = false;
        return true;
    }
    // link() never replaces, so of two creators racing, exactly one wins.
    if (::linkat(dir, temporary.c_str(), dir, name.c_str(), 0) != 0) {
        if (errno == EEXIST)
            return false;
        systemFailure(file, "create the file", errno);
    }
    return true;
}

SimState readState(const std::filesystem::path &file, FileDescriptor fd)
{
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        systemFailure(file, "examine the file", errno);
    if (!S_ISREG(info.st_mode))
        refuse(file, "is not a regular file (" + std::string(RemoveHint) + ")");
    // velmora-sim reset replaces the file with one of ours, mode 0600.
    checkOwnership(file, info, std::string(ResetHint), std::string(ResetHint));

    const auto tooLarge = [&](std::size_t size) {
        refuse(file, "is " + std::to_string(size) + " bytes, more than a state file can be (" +
                         std::to_string(MaxFileSize) + "); " + std::string(ResetHint));
    };
    if (static_cast<std::uintmax_t>(info.st_size) > MaxFileSize)
        tooLarge(static_cast<std::size_t>(info.st_size));

    // Read one byte past the bound, in case the file grew after fstat.
    std::string text(MaxFileSize + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + size, text.size() - size);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            systemFailure(file, "read the file", errno);
        }
        if (got == 0)
            break;
        size += static_cast<std::size_t>(got);
    }
    if (size > MaxFileSize)
        tooLarge(size);
    text.resize(size);
    try {
        return SimState::parse(text);
    } catch (const SimStateError &error) {
        refuse(file, "corrupt: " + std::string(error.what()) + "; " + std::string(ResetHint));
    }
}

} // namespace

SimStateFile::SimStateFile(std::filesystem::path file)
    : m_file(std::move(file))
{}

std::filesystem::path SimStateFile::defaultPath()
{
    // A relative XDG_RUNTIME_DIR is invalid and ignored: it would name a different file for
    // each working folder, and the program and velmora-sim must agree on one.
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::filesystem::path(runtime) / "velmora" / "simcard";
    return std::filesystem::path("/tmp") / ("velmora-" + std::to_string(::geteuid())) / "simcard";
}

SimState SimStateFile::load() const
{
    const std::string name = m_file.filename().string();
    if (name.empty() || name == "." || name == "..")
        refuse(m_file, "does not name a file");
    const FileDescriptor dir = openFolder(folderOf(m_file));

    // Should the file vanish between a failed creation and the read, look again; a few times.
    for (int attempt = 0; attempt < 5; ++attempt) {
        // O_NONBLOCK: a FIFO planted here must be refused, not waited on.
        const int fd = ::openat(dir.get(), name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd >= 0)
            return readState(m_file, FileDescriptor(fd));
        const int error = errno;
        if (error == ELOOP) {
            refuse(m_file,
                   "is a symbolic link; refusing to follow it (" + std::string(RemoveHint) + ")");
        }
        if (error != ENOENT)
            systemFailure(m_file, "open the file", error);

        const SimState fresh;
        if (publish(dir.get(), m_file, fresh.format(), false))
            return fresh;
        // Another process created it first: read theirs.
    }
    refuse(m_file, "keeps disappearing while being read; is something else removing it?");
}

void SimStateFile::store(const SimState &state) const
{
    const std::string name = m_file.filename().string();
    if (name.empty() || name == "." || name == "..")
        refuse(m_file, "does not name a file");
    const FileDescriptor dir = openFolder(folderOf(m_file));
    publish(dir.get(), m_file, state.format(), true);
}

void SimStateFile::update(const std::function<void(SimState &)> &change) const
{
    const std::filesystem::path folder = folderOf(m_file);
    const FileDescriptor dir = openFolder(folder);
    // Two commands changing the card at the same moment must not lose one of the changes.
    while (::flock(dir.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            systemFailure(folder, "lock the folder", errno);
    }
    SimState state = load();
    change(state);
    store(state);
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
