#include "com_support.h"

#include <array>
#include <climits>
#include <new>
#include <utility>

namespace velmora {

UniqueBstr UniqueBstr::fromUtf8(std::string_view text)
{
    const std::wstring wide = toUtf16(text);
    // SysAllocStringLen keeps embedded NULs, which a BSTR may carry.
    BSTR bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (bstr == nullptr)
        throw std::bad_alloc();
    return UniqueBstr(bstr);
}

UniqueBstr::UniqueBstr(UniqueBstr &&other) noexcept
    : m_bstr(std::exchange(other.m_bstr, nullptr))
{}

UniqueBstr &UniqueBstr::operator=(UniqueBstr &&other) noexcept
{
    if (this != &other) {
        SysFreeString(m_bstr);
        m_bstr = std::exchange(other.m_bstr, nullptr);
    }
    return *this;
}

BSTR UniqueBstr::release() noexcept
{
    return std::exchange(m_bstr, nullptr);
}

VariantArray::~VariantArray()
{
    for (VARIANT &item : m_items)
        VariantClear(&item);
}

void ExceptionInfo::clear() noexcept
{
    SysFreeString(std::exchange(m_info.bstrSource, nullptr));
    SysFreeString(std::exchange(m_info.bstrDescription, nullptr));
    SysFreeString(std::exchange(m_info.bstrHelpFile, nullptr));
}

std::wstring toUtf16(std::string_view text)
{
    if (text.empty())
        return {};
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throw std::bad_alloc();
    const int inLength = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), inLength, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), inLength, wide.data(), length);
    return wide;
}

std::string toUtf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    if (text.size() > static_cast<std::size_t>(INT_MAX / 3))
        throw std::bad_alloc();
    const int inLength = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::string toUtf8(BSTR text)
{
    if (text == nullptr)
        return {};
    return toUtf8(std::wstring_view(text, SysStringLen(text)));
}

std::string systemMessage(HRESULT hr)
{
    std::array<wchar_t, 1024> buffer{};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(hr), 0, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr);
    std::wstring_view message(buffer.data(), length);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L' ' || message.back() == L'\t'))
        message.remove_suffix(1);
    return toUtf8(message);
}

} // namespace velmora
