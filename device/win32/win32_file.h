#pragma once

// Handles, system messages and security for the simulated card's files on Windows. Internal to
// the device layer; Windows only.

#include <windows.h>

#include <shtypes.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace velmora::win32 {

// One kernel handle, closed exactly once. INVALID_HANDLE_VALUE, which CreateFileW returns on
// failure, is held as no handle.
class UniqueHandle final {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept
        : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle)
    {}
    UniqueHandle(UniqueHandle &&other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr))
    {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }
    HANDLE release() noexcept { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr) noexcept
    {
        if (m_handle != nullptr)
            CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

// Memory the system handed out with LocalAlloc (security descriptors, SID strings), freed once.
class LocalMemory final {
public:
    explicit LocalMemory(void *memory) noexcept
        : m_memory(memory)
    {}
    LocalMemory(const LocalMemory &) = delete;
    LocalMemory &operator=(const LocalMemory &) = delete;
    ~LocalMemory() { LocalFree(m_memory); }

private:
    void *m_memory;
};

// The system's words for a Win32 error code, without the closing full stop, or "error N".
std::string errorText(DWORD error);

// Who this process is: the token's user, and the owner the token gives what it creates.
class CurrentUser final {
public:
    CurrentUser();

    // 0, or why the token could not be read (then nobody counts as ours).
    DWORD failure() const noexcept { return m_failure; }
    PSID sid() const noexcept
    {
        return m_user.empty() ? nullptr : const_cast<BYTE *>(m_user.data());
    }
    // Ours: owned by the user, or by the Administrators group where the token itself makes
    // Administrators the owner of what it creates (an elevated administrator).
    bool mayOwn(PSID owner) const noexcept;

private:
    DWORD m_failure = 0;
    std::vector<BYTE> m_user;
    std::vector<BYTE> m_defaultOwner;
};

// A per-user folder: the environment variable's value where it is an absolute path (so that a
// user or a test can point elsewhere), else the known folder; empty, with `hr` saying why, where
// neither is known.
std::filesystem::path userFolder(const wchar_t *variable, REFKNOWNFOLDERID known, HRESULT &hr);

// DOMAIN\name where the system knows one, else the SID as text.
std::string accountName(PSID sid);

// Security attributes that give the current user alone full access, not inherited from the
// folder above: a fresh file or folder is private, as 0600 and 0700 are on POSIX systems.
// `inheritable` passes the same to what is created inside a folder.
class PrivateSecurity final {
public:
    PrivateSecurity(const CurrentUser &user, bool inheritable);
    PrivateSecurity(const PrivateSecurity &) = delete;
    PrivateSecurity &operator=(const PrivateSecurity &) = delete;

    SECURITY_ATTRIBUTES *attributes() noexcept { return &m_attributes; }

private:
    std::vector<BYTE> m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
};

} // namespace velmora::win32
