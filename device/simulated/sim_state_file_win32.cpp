// The state file on Windows: reparse points refused, owners checked, replaced by renaming a
// temporary file over it, updates serialised by a lock file beside it.

#include "simulated/sim_state.h"
#include "simulated/sim_state_detail.h"

#include "win32/win32_file.h"
#include "win32/win32_text.h"

#include <aclapi.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace velmora {

namespace {

namespace fs = std::filesystem;
using sim_state_detail::FileText;
using sim_state_detail::MaxFileSize;
using sim_state_detail::RemoveHint;
using sim_state_detail::ResetHint;
using win32::UniqueHandle;

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void refuse(const fs::path &path, const std::string &what)
{
    throw SimStateError(displayPath(path) + ": " + what);
}

// A system call failed: say which, why, and where to look.
[[noreturn]] void systemFailure(const fs::path &path, const std::string &action, DWORD error)
{
    std::string text = "cannot " + action + ": " + win32::errorText(error);
    switch (error) {
    case ERROR_ACCESS_DENIED:
        text += " (check the permissions of the folders above it)";
        break;
    case ERROR_PATH_NOT_FOUND:
        text += " (a folder above it is missing)";
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        text += " (free some space, then try again)";
        break;
    case ERROR_WRITE_PROTECT:
        text += " (the drive is write-protected: make it writable, or point LOCALAPPDATA at a "
                "private folder on one that is)";
        break;
    default:
        break;
    }
    refuse(path, text);
}

fs::path folderOf(const fs::path &file)
{
    const auto folder = file.parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

void checkName(const fs::path &file)
{
    const fs::path name = file.filename();
    if (name.empty() || name == "." || name == "..")
        refuse(file, "does not name a file");
}

BY_HANDLE_FILE_INFORMATION examine(const fs::path &path, HANDLE handle, const char *what)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        systemFailure(path, std::string("examine the ") + what, GetLastError());
    // Opened with FILE_FLAG_OPEN_REPARSE_POINT, so this is the link itself, not its target.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuse(path, "is a symbolic link or junction; refusing to follow it (" +
                         std::string(RemoveHint) + ")");
    }
    return info;
}

// The same rule holds for the folder and the file: ours (see CurrentUser::mayOwn).
void checkOwner(const fs::path &path, HANDLE handle, const std::string &fix)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                        nullptr, nullptr, nullptr, &descriptor);
    const win32::LocalMemory held(descriptor);
    if (error != ERROR_SUCCESS)
        systemFailure(path, "find out who owns it", error);
    const win32::CurrentUser user;
    if (user.failure() != 0)
        systemFailure(path, "find out who you are", user.failure());
    if (!user.mayOwn(owner)) {
        refuse(path, "owned by " + win32::accountName(owner) + ", not by you (" +
                         win32::accountName(user.sid()) + "); " + fix);
    }
}

// Opens the state file's folder without following a reparse point, creating it (private to the
// user) if missing. Held without FILE_SHARE_DELETE, so that while it is open nobody can rename
// the checked folder away and put another in its place.
UniqueHandle openFolder(const fs::path &folder)
{
    const auto open = [&folder] {
        return UniqueHandle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    };
    UniqueHandle dir = open();
    if (!dir) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            const win32::CurrentUser user;
            win32::PrivateSecurity security(user, true);
            if (!CreateDirectoryW(folder.c_str(), security.attributes())) {
                const DWORD failed = GetLastError();
                if (failed != ERROR_ALREADY_EXISTS)
                    systemFailure(folder, "create the folder", failed);
            }
            dir = open();
            error = GetLastError();
        }
        if (!dir)
            systemFailure(folder, "open the folder", error);
    }
    const BY_HANDLE_FILE_INFORMATION info = examine(folder, dir.get(), "folder");
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        refuse(folder, "is not a folder (" + std::string(RemoveHint) + ")");
    checkOwner(folder, dir.get(),
               "remove it (or have it removed), or point LOCALAPPDATA at a private folder");
    return dir;
}

bool isFolder(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Renames `from` over `file`. A reader holding the file open blocks its replacement (Windows
// keeps the name of an open file), but only for the moment a read takes: so try again, for a
// while.
void replaceFile(const fs::path &from, const fs::path &file)
{
    constexpr ULONGLONG PatienceMs = 2000;
    const ULONGLONG start = GetTickCount64();
    for (unsigned attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), file.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD error = GetLastError();
        if (isFolder(file))
            refuse(file,
                   "cannot replace the file: it is a folder (" + std::string(RemoveHint) + ")");
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            refuse(file,
                   "cannot replace the file: it is read-only (" + std::string(RemoveHint) + ")");
        }
        const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (!busy || GetTickCount64() - start > PatienceMs)
            systemFailure(file, "replace the file", error);
        Sleep(attempt < 8 ? 0 : 1);
    }
}

// Writes `text` to a fresh temporary file beside the state file, then moves it into place:
// replacing the old file, or only if there is none yet. Either way a reader sees the old
// content or the new, never part of it. Returns false when not replacing and a file was there.
bool publish(const fs::path &file, std::string_view text, bool replace,
             const std::function<void()> &beforeReplace = {})
{
    static std::atomic<unsigned> serial{0};
    const fs::path folder = folderOf(file);
    const win32::CurrentUser user;
    win32::PrivateSecurity security(user, false);

    // Declared in this order so that the handle is closed before the file is removed.
    struct RemoveTemporary {
        const fs::path &name;
        bool armed = false;
        ~RemoveTemporary()
        {
            if (armed)
                DeleteFileW(name.c_str());
        }
    };
    fs::path temporary;
    RemoveTemporary cleanup{temporary};
    UniqueHandle out;
    for (int attempt = 0; !out; ++attempt) {
        const auto ticks = GetTickCount64();
        temporary = folder / toUtf16(sim_state_detail::temporaryName(
                                 toUtf8(file.filename().native()), GetCurrentProcessId(), serial++,
                                 ticks & 0xffffff));
        out = UniqueHandle(
            CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!out) {
            const DWORD error = GetLastError();
            if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 100)
                systemFailure(folder, "create a temporary file", error);
        }
    }
    // Whatever goes wrong from here on, the temporary file must not be left behind.
    cleanup.armed = true;

    while (!text.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(out.get(), text.data(), chunk, &written, nullptr))
            systemFailure(file, "write a temporary file", GetLastError());
        text.remove_prefix(written);
    }
    if (!CloseHandle(out.release()))
        systemFailure(file, "write a temporary file", GetLastError());
    if (beforeReplace)
        beforeReplace();

    if (replace) {
        replaceFile(temporary, file);
        cleanup.armed = false;
        return true;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces, so of two creators racing,
    // exactly one wins.
    if (!MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            return false;
        systemFailure(file, "create the file", error);
    }
    cleanup.armed = false;
    return true;
}

// The file's bytes, once it is known to be a regular file of ours.
FileText readState(const fs::path &file, HANDLE in)
{
    const BY_HANDLE_FILE_INFORMATION info = examine(file, in, "file");
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        GetFileType(in) != FILE_TYPE_DISK)
        refuse(file, "is not a regular file (" + std::string(RemoveHint) + ")");
    // velmora-sim reset replaces the file with one of ours.
    checkOwner(file, in, std::string(ResetHint));

    FileText result;
    result.reportedSize = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (result.reportedSize > MaxFileSize)
        return result;
    // Read one byte past the bound, in case the file grew after it was examined.
    std::string &text = result.text;
    text.assign(MaxFileSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        DWORD chunk = 0;
        if (!ReadFile(in, text.data() + got, static_cast<DWORD>(text.size() - got), &chunk,
                      nullptr))
            systemFailure(file, "read the file", GetLastError());
        if (chunk == 0)
            break;
        got += chunk;
    }
    text.resize(got);
    return result;
}

bool processIsGone(std::int64_t pid)
{
    if (pid <= 0 || pid > std::int64_t(MAXDWORD))
        return false;
    const UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    DWORD code = 0;
    return GetExitCodeProcess(process.get(), &code) && code != STILL_ACTIVE;
}

// Removes the temporary files that writers of `file` killed half-way left in its folder: only
// regular files by that naming, only where the writer is gone or the file is too old to be
// anyone's work in progress. A file still open cannot be deleted (its writer shares no delete
// access), so nothing in use goes.
void removeLeftovers(const fs::path &file)
{
    const fs::path folder = folderOf(file);
    const std::string fileName = toUtf8(file.filename().native());
    const fs::path pattern = folder / (L"." + file.filename().native() + L".tmp.*");
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    FILETIME nowFile{};
    GetSystemTimeAsFileTime(&nowFile);
    const auto ticks = [](const FILETIME &time) {
        return std::uint64_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    };
    constexpr std::uint64_t TicksPerSecond = 10'000'000; // FILETIME counts 100 ns
    const std::uint64_t lifetime =
        std::chrono::seconds(sim_state_detail::TemporaryLifetime).count() * TicksPerSecond;
    do {
        const auto writer = sim_state_detail::temporaryWriter(toUtf8(found.cFileName), fileName);
        const DWORD attributes = found.dwFileAttributes;
        if (!writer ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            continue;
        const std::uint64_t age =
            ticks(nowFile) - std::min(ticks(nowFile), ticks(found.ftLastWriteTime));
        if (processIsGone(*writer) || age > lifetime)
            DeleteFileW((folder / found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Holds an exclusive lock on a small file beside the state file (LockFileEx), so that updates
// from any process wait for one another; the system drops it should the holder die. The holder
// writes its process id past the locked byte, where a waiting process can read it.
class UpdateLock final {
public:
    UpdateLock(const fs::path &file, const SimUpdateOptions &options)
        : m_path(file.parent_path() / (file.filename().native() + L".lock"))
    {
        const win32::CurrentUser user;
        win32::PrivateSecurity security(user, false);
        m_file = UniqueHandle(CreateFileW(
            m_path.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, security.attributes(),
            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!m_file) {
            const DWORD error = GetLastError();
            if (isFolder(m_path))
                refuse(m_path, "is a folder (" + std::string(RemoveHint) + ")");
            systemFailure(m_path, "open the lock file", error);
        }
        examine(m_path, m_file.get(), "lock file");
        sim_state_detail::waitForLock(displayPath(m_path), options, [this] {
            sim_state_detail::LockTry attempt;
            OVERLAPPED at{};
            if (LockFileEx(m_file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                           0, &at)) {
                attempt.taken = true;
                return attempt;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
                systemFailure(m_path, "lock the lock file", error);
            attempt.holder = holder();
            return attempt;
        });
        char text[HolderSize] = {};
        const std::string pid = std::to_string(GetCurrentProcessId());
        std::copy(pid.begin(), pid.end(), text);
        OVERLAPPED at{};
        at.Offset = HolderOffset;
        DWORD written = 0;
        WriteFile(m_file.get(), text, HolderSize, &written, &at);
    }
    UpdateLock(const UpdateLock &) = delete;
    UpdateLock &operator=(const UpdateLock &) = delete;
    ~UpdateLock()
    {
        OVERLAPPED at{};
        UnlockFileEx(m_file.get(), 0, 1, 0, &at);
    }

private:
    static constexpr DWORD HolderOffset = 16;
    static constexpr DWORD HolderSize = 16;

    std::optional<std::int64_t> holder() const
    {
        char text[HolderSize + 1] = {};
        OVERLAPPED at{};
        at.Offset = HolderOffset;
        DWORD got = 0;
        if (!ReadFile(m_file.get(), text, HolderSize, &got, &at) || got == 0)
            return std::nullopt;
        const long long pid = std::atoll(text);
        return pid > 0 ? std::optional<std::int64_t>(pid) : std::nullopt;
    }

    fs::path m_path;
    UniqueHandle m_file;
};

std::wstring environmentVariable(const wchar_t *name)
{
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length); // too small: `length` counts the terminating NUL
    }
}

} // namespace

std::filesystem::path SimStateFile::defaultPath()
{
    // LOCALAPPDATA first, so that a user or a test can point the program and velmora-sim at
    // another folder; a relative value is ignored, as a relative XDG_RUNTIME_DIR is elsewhere.
    const fs::path variable = environmentVariable(L"LOCALAPPDATA");
    if (variable.is_absolute())
        return variable / L"Velmora" / L"simcard";
    PWSTR known = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known);
    const fs::path folder = SUCCEEDED(hr) && known != nullptr ? fs::path(known) : fs::path();
    CoTaskMemFree(known);
    if (!folder.is_absolute()) {
        throw SimStateError("cannot find your local application data folder for the simulated "
                            "card's state file: LOCALAPPDATA is not set and the system does not "
                            "know it (" +
                            systemMessage(hr) + "); set LOCALAPPDATA to a private folder of yours");
    }
    return folder / L"Velmora" / L"simcard";
}

SimState SimStateFile::load() const
{
    checkName(m_file);
    const UniqueHandle dir = openFolder(folderOf(m_file));
    return sim_state_detail::loadState(
        displayPath(m_file),
        [&]() -> std::optional<FileText> {
            const UniqueHandle in(CreateFileW(m_file.c_str(), GENERIC_READ, ShareAll, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                              nullptr));
            if (in)
                return readState(m_file, in.get());
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED && isFolder(m_file))
                refuse(m_file, "is not a regular file (" + std::string(RemoveHint) + ")");
            if (error != ERROR_FILE_NOT_FOUND)
                systemFailure(m_file, "open the file", error);
            return std::nullopt;
        },
        [&](std::string_view text) { return publish(m_file, text, false); });
}

void SimStateFile::write(const SimState *replacement, const std::function<void(SimState &)> &change,
                         const SimUpdateOptions &options) const
{
    checkName(m_file);
    const UniqueHandle dir = openFolder(folderOf(m_file));
    // Two commands changing the card at the same moment must not lose one of the changes.
    const UpdateLock lock(m_file, options);
    removeLeftovers(m_file);
    SimState state = replacement != nullptr ? *replacement : load();
    if (change)
        change(state);
    publish(m_file, sim_state_detail::formatForStore(displayPath(m_file), state), true,
            options.beforeReplace);
}

std::optional<SimStateReader::Identity> SimStateReader::identify() const
{
    // Attributes only: such an open takes no part in sharing, so it never keeps a reader or a
    // writer waiting. Replacing the file gives it a new file index, so no store() goes unseen
    // even where two land within one tick of the file system's clock.
    const UniqueHandle handle(
        CreateFileW(m_file.path().c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(handle.get(), &info) ||
        !GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    Identity id;
    id.device = info.dwVolumeSerialNumber;
    id.inode = std::uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    id.size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    id.modifiedNs = basic.LastWriteTime.QuadPart;
    // Moves with the content, the attributes and the security descriptor.
    id.changedNs = basic.ChangeTime.QuadPart;
    id.mode = info.dwFileAttributes;
    return id;
}

std::string displayPath(const std::filesystem::path &path)
{
    return toUtf8(std::wstring_view(path.native()));
}

} // namespace velmora
