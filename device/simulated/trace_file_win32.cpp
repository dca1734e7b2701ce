#include "simulated/trace_file.h"

#include "win32/win32_file.h"
#include "win32/win32_text.h"

#include <windows.h>

#include <aclapi.h>

namespace velmora {

std::optional<std::string> TraceFile::open(const std::string &path)
{
    close();
    const win32::CurrentUser user;
    win32::PrivateSecurity security(user, false);
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end, as O_APPEND does.
    win32::UniqueHandle file(CreateFileW(
        toUtf16(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security.attributes(), OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(toUtf16(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return std::string("it is a folder, not a regular file; name a regular file");
        switch (error) {
        case ERROR_PATH_NOT_FOUND:
            return win32::errorText(error) +
                   "; the folder it would be in does not exist: create it, or name another file";
        case ERROR_ACCESS_DENIED:
            return win32::errorText(error) + "; name a file in a folder you may write";
        case ERROR_WRITE_PROTECT:
            return win32::errorText(error) + "; name a file on a drive that is writable";
        default:
            return win32::errorText(error) + "; name another file";
        }
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info))
        return win32::errorText(GetLastError()) + "; name another file";
    // Opened as the link itself, so nothing was written through it.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return std::string("it is a symbolic link or junction, which a trace never follows "
                           "(refusing to follow it); name the file itself");
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        GetFileType(file.get()) != FILE_TYPE_DISK)
        return std::string("it is not a regular file; name a regular file");
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                        &owner, nullptr, nullptr, nullptr, &descriptor);
    const win32::LocalMemory held(descriptor);
    if (error != ERROR_SUCCESS)
        return "cannot find out who owns it: " + win32::errorText(error) + "; name another file";
    if (!user.mayOwn(owner)) {
        return "it belongs to " + win32::accountName(owner) + ", not to you (" +
               win32::accountName(user.sid()) + "); name a file of your own";
    }
    m_handle = file.release();
    return std::nullopt;
}

void TraceFile::close() noexcept
{
    if (m_handle != nullptr)
        CloseHandle(m_handle);
    m_handle = nullptr;
}

bool TraceFile::isOpen() const noexcept
{
    return m_handle != nullptr;
}

std::optional<std::string> TraceFile::append(std::string_view line)
{
    DWORD written = 0;
    if (!WriteFile(m_handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        return win32::errorText(GetLastError());
    if (written != line.size())
        return std::string("the disk took only part of a line");
    return std::nullopt;
}

std::int64_t TraceFile::monotonicNs() noexcept
{
    // The performance counter never goes back; its frequency is fixed at boot.
    LARGE_INTEGER frequency{};
    LARGE_INTEGER counter{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    const std::int64_t perSecond = frequency.QuadPart;
    const std::int64_t ticks = counter.QuadPart;
    // In two parts, so that the multiplication cannot overflow after long uptimes.
    return ticks / perSecond * 1'000'000'000LL + ticks % perSecond * 1'000'000'000LL / perSecond;
}

} // namespace velmora
