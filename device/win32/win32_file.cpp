#include "win32/win32_file.h"

#include "win32/win32_text.h"

#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <array>

namespace velmora::win32 {

namespace {

// One TOKEN_USER or TOKEN_OWNER's SID, copied out of the token's answer.
std::vector<BYTE> tokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, DWORD &failure)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> answer(size);
    if (size == 0 || !GetTokenInformation(token, kind, answer.data(), size, &size)) {
        failure = GetLastError();
        return {};
    }
    const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER *>(answer.data())->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER *>(answer.data())->Owner;
    const DWORD length = GetLengthSid(sid);
    std::vector<BYTE> copy(length);
    if (!CopySid(length, copy.data(), sid)) {
        failure = GetLastError();
        return {};
    }
    return copy;
}

} // namespace

std::string errorText(DWORD error)
{
    std::array<wchar_t, 512> buffer{};
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    std::wstring_view words(buffer.data(), length);
    while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' ||
                              words.back() == L' ' || words.back() == L'.'))
        words.remove_suffix(1);
    if (words.empty())
        return "error " + std::to_string(error);
    return toUtf8(words);
}

CurrentUser::CurrentUser()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        m_failure = GetLastError();
        return;
    }
    const UniqueHandle held(token);
    m_user = tokenSid(token, TokenUser, m_failure);
    if (m_failure == 0)
        m_defaultOwner = tokenSid(token, TokenOwner, m_failure);
    if (m_failure != 0)
        m_user.clear();
}

bool CurrentUser::mayOwn(PSID owner) const noexcept
{
    if (owner == nullptr || m_user.empty() || !IsValidSid(owner))
        return false;
    if (EqualSid(owner, sid()))
        return true;
    // Files an elevated administrator creates belong to Administrators, not to the user; the
    // same process may use them. Any other group or user stays foreign.
    const PSID defaultOwner = const_cast<BYTE *>(m_defaultOwner.data());
    return !m_defaultOwner.empty() && IsWellKnownSid(defaultOwner, WinBuiltinAdministratorsSid) &&
           EqualSid(owner, defaultOwner);
}

std::filesystem::path userFolder(const wchar_t *variable, REFKNOWNFOLDERID known, HRESULT &hr)
{
    hr = S_OK;
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(variable, value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            break;
        }
        value.resize(length); // too small: `length` counts the terminating NUL
    }
    if (const std::filesystem::path set(value); set.is_absolute())
        return set;
    PWSTR path = nullptr;
    hr = SHGetKnownFolderPath(known, 0, nullptr, &path);
    const std::filesystem::path folder =
        SUCCEEDED(hr) && path != nullptr ? std::filesystem::path(path) : std::filesystem::path();
    CoTaskMemFree(path);
    return folder.is_absolute() ? folder : std::filesystem::path();
}

std::string accountName(PSID sid)
{
    if (sid == nullptr || !IsValidSid(sid))
        return "nobody";
    std::array<wchar_t, 256> name{};
    std::array<wchar_t, 256> domain{};
    auto nameLength = static_cast<DWORD>(name.size());
    auto domainLength = static_cast<DWORD>(domain.size());
    SID_NAME_USE use{};
    if (LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domain.data(), &domainLength,
                          &use)) {
        std::wstring text(domain.data(), domainLength);
        if (!text.empty())
            text += L'\\';
        text.append(name.data(), nameLength);
        return toUtf8(text);
    }
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return "an unknown account";
    const LocalMemory held(text);
    return toUtf8(std::wstring_view(text));
}

PrivateSecurity::PrivateSecurity(const CurrentUser &user, bool inheritable)
{
    m_attributes.nLength = sizeof m_attributes;
    m_attributes.bInheritHandle = FALSE;
    m_attributes.lpSecurityDescriptor = nullptr; // the default security, should any step fail
    if (user.sid() == nullptr)
        return;

    const DWORD aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(user.sid());
    m_acl.resize((sizeof(ACL) + aceSize + sizeof(DWORD) - 1) & ~(sizeof(DWORD) - 1));
    const auto acl = reinterpret_cast<PACL>(m_acl.data());
    const DWORD inheritance = inheritable ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    // Protected: the folder above may grant others access, and its entries must not flow in.
    if (!InitializeAcl(acl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inheritance, FILE_ALL_ACCESS, user.sid()) ||
        !InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return;
    m_attributes.lpSecurityDescriptor = &m_descriptor;
}

} // namespace velmora::win32
