// Private files on Windows: reparse points refused, owners checked, replaced by renaming a
// temporary file over it, updates serialised by a lock file beside it.

#include "files/private_file.h"

#include "win32/win32_file.h"
#include "win32/win32_text.h"

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace velmora {

namespace {

namespace fs = std::filesystem;
using win32::UniqueHandle;

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A system call failed: say which, why, and where to look.
[[noreturn]] void systemFailure(const fs::path &path, const std::string &action, DWORD error,
                                const PrivateFileFixes &fixes)
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
        text += " (the drive is write-protected: make it writable" +
                (fixes.otherVolume.empty() ? std::string() : ", or " + fixes.otherVolume) + ")";
        break;
    default:
        break;
    }
    refuseFile(path, text);
}

BY_HANDLE_FILE_INFORMATION examine(const fs::path &path, HANDLE handle, const char *what,
                                   const PrivateFileFixes &fixes)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        systemFailure(path, std::string("examine the ") + what, GetLastError(), fixes);
    // Opened with FILE_FLAG_OPEN_REPARSE_POINT, so this is the link itself, not its target.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuseFile(path,
                   "is a symbolic link or junction; refusing to follow it (" + fixes.remove + ")");
    }
    return info;
}

// The same rule holds for the folder and the file: ours (see CurrentUser::mayOwn).
void checkOwner(const fs::path &path, HANDLE handle, const std::string &fix,
                const PrivateFileFixes &fixes)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                        nullptr, nullptr, nullptr, &descriptor);
    const win32::LocalMemory held(descriptor);
    if (error != ERROR_SUCCESS)
        systemFailure(path, "find out who owns it", error, fixes);
    const win32::CurrentUser user;
    if (user.failure() != 0)
        systemFailure(path, "find out who you are", user.failure(), fixes);
    if (!user.mayOwn(owner)) {
        refuseFile(path, "owned by " + win32::accountName(owner) + ", not by you (" +
                             win32::accountName(user.sid()) + "); " + fix);
    }
}

bool isFolder(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Renames `from` over `file`. A reader holding the file open blocks its replacement (Windows
// keeps the name of an open file), but only for the moment a read takes: so try again, for a
// while.
void replaceFile(const fs::path &from, const fs::path &file, const PrivateFileFixes &fixes)
{
    constexpr ULONGLONG PatienceMs = 2000;
    const ULONGLONG start = GetTickCount64();
    for (unsigned attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), file.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        const DWORD error = GetLastError();
        if (isFolder(file))
            refuseFile(file, "cannot replace the file: it is a folder (" + fixes.remove + ")");
        const DWORD attributes = GetFileAttributesW(file.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            refuseFile(file, "cannot replace the file: it is read-only (" + fixes.remove + ")");
        const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
        if (!busy || GetTickCount64() - start > PatienceMs)
            systemFailure(file, "replace the file", error, fixes);
        Sleep(attempt < 8 ? 0 : 1);
    }
}

} // namespace

// Held without FILE_SHARE_DELETE, so that while it is open nobody can rename the checked folder
// away and put another in its place.
PrivateFolder::PrivateFolder(const std::filesystem::path &folder, PrivateFileFixes fixes)
    : m_folder(folder)
    , m_fixes(std::move(fixes))
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
                    systemFailure(folder, "create the folder", failed, m_fixes);
            }
            dir = open();
            error = GetLastError();
        }
        if (!dir)
            systemFailure(folder, "open the folder", error, m_fixes);
    }
    const BY_HANDLE_FILE_INFORMATION info = examine(folder, dir.get(), "folder", m_fixes);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        refuseFile(folder, "is not a folder (" + m_fixes.remove + ")");
    checkOwner(folder, dir.get(), m_fixes.folderOwner, m_fixes);
    m_handle = dir.release();
}

PrivateFolder::~PrivateFolder()
{
    if (m_lock != nullptr) {
        OVERLAPPED at{};
        UnlockFileEx(m_lock, 0, 1, 0, &at);
        CloseHandle(m_lock);
    }
    if (m_handle != nullptr)
        CloseHandle(m_handle);
}

std::optional<std::string> PrivateFolder::read(const std::filesystem::path &file,
                                               std::size_t maxSize) const
{
    const UniqueHandle in(CreateFileW(file.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!in) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && isFolder(file))
            refuseFile(file, "is not a regular file (" + m_fixes.remove + ")");
        if (error == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        systemFailure(file, "open the file", error, m_fixes);
    }
    const BY_HANDLE_FILE_INFORMATION info = examine(file, in.get(), "file", m_fixes);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        GetFileType(in.get()) != FILE_TYPE_DISK)
        refuseFile(file, "is not a regular file (" + m_fixes.remove + ")");
    checkOwner(file, in.get(), m_fixes.reset, m_fixes);

    const auto tooLarge = [&](std::uint64_t size) {
        refuseFile(file, "is " + std::to_string(size) + " bytes, more than " + m_fixes.kind +
                             " can be (" + std::to_string(maxSize) + "); " + m_fixes.reset);
    };
    const std::uint64_t size = std::uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (size > maxSize)
        tooLarge(size);

    // Read one byte past the bound, in case the file grew after it was examined.
    std::string text(maxSize + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        DWORD chunk = 0;
        if (!ReadFile(in.get(), text.data() + got, static_cast<DWORD>(text.size() - got), &chunk,
                      nullptr))
            systemFailure(file, "read the file", GetLastError(), m_fixes);
        if (chunk == 0)
            break;
        got += chunk;
    }
    if (got > maxSize)
        tooLarge(got);
    text.resize(got);
    return text;
}

bool PrivateFolder::publish(const std::filesystem::path &file, std::string_view text, bool replace,
                            const std::function<void()> &beforeReplace) const
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
        temporary =
            folder / toUtf16(temporaryName(toUtf8(file.filename().native()), GetCurrentProcessId(),
                                           serial++, ticks & 0xffffff));
        out = UniqueHandle(
            CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, security.attributes(), CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!out) {
            const DWORD error = GetLastError();
            if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt == 100)
                systemFailure(folder, "create a temporary file", error, m_fixes);
        }
    }
    // Whatever goes wrong from here on, the temporary file must not be left behind.
    cleanup.armed = true;

    while (!text.empty()) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(out.get(), text.data(), chunk, &written, nullptr))
            systemFailure(file, "write a temporary file", GetLastError(), m_fixes);
        text.remove_prefix(written);
    }
    if (!CloseHandle(out.release()))
        systemFailure(file, "write a temporary file", GetLastError(), m_fixes);
    if (beforeReplace)
        beforeReplace();

    if (replace) {
        replaceFile(temporary, file, m_fixes);
        cleanup.armed = false;
        return true;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move never replaces, so of two creators racing,
    // exactly one wins.
    if (!MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            return false;
        systemFailure(file, "create the file", error, m_fixes);
    }
    cleanup.armed = false;
    return true;
}

namespace {

// Where the holder of an update lock writes its process id, past the locked byte, for a waiting
// process to read.
constexpr DWORD HolderOffset = 16;
constexpr DWORD HolderSize = 16;

std::optional<std::int64_t> lockHolder(HANDLE lock)
{
    char text[HolderSize + 1] = {};
    OVERLAPPED at{};
    at.Offset = HolderOffset;
    DWORD got = 0;
    if (!ReadFile(lock, text, HolderSize, &got, &at) || got == 0)
        return std::nullopt;
    const long long pid = std::atoll(text);
    return pid > 0 ? std::optional<std::int64_t>(pid) : std::nullopt;
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

} // namespace

// An exclusive lock on a small file beside `file` (LockFileEx), so that updates from any process
// wait for one another; the system drops it should the holder die.
void PrivateFolder::lockForUpdate(const std::filesystem::path &file, const UpdateWait &wait)
{
    const fs::path path = file.parent_path() / (file.filename().native() + L".lock");
    const win32::CurrentUser user;
    win32::PrivateSecurity security(user, false);
    UniqueHandle lock(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll,
                                  security.attributes(), OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!lock) {
        const DWORD error = GetLastError();
        if (isFolder(path))
            refuseFile(path, "is a folder (" + m_fixes.remove + ")");
        systemFailure(path, "open the lock file", error, m_fixes);
    }
    examine(path, lock.get(), "lock file", m_fixes);
    waitForLock(path, wait, [&] {
        LockTry attempt;
        OVERLAPPED at{};
        if (LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &at)) {
            attempt.taken = true;
            return attempt;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING)
            systemFailure(path, "lock the lock file", error, m_fixes);
        attempt.holder = lockHolder(lock.get());
        return attempt;
    });
    m_lock = lock.release();
    char text[HolderSize] = {};
    const std::string pid = std::to_string(GetCurrentProcessId());
    std::copy(pid.begin(), pid.end(), text);
    OVERLAPPED at{};
    at.Offset = HolderOffset;
    DWORD written = 0;
    WriteFile(m_lock, text, HolderSize, &written, &at);
    removeLeftovers(file);
}

// A file still open cannot be deleted (its writer shares no delete access), so nothing in use
// goes.
void PrivateFolder::removeLeftovers(const std::filesystem::path &file) const
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
    const std::uint64_t lifetime = std::chrono::seconds(TemporaryLifetime).count() * TicksPerSecond;
    do {
        const auto writer = temporaryWriter(toUtf8(found.cFileName), fileName);
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

std::string displayPath(const std::filesystem::path &path)
{
    return toUtf8(std::wstring_view(path.native()));
}

} // namespace velmora
