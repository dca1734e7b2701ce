#include "win32/win32_text.h"

#include <array>
#include <climits>
#include <new>

namespace velmora {

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
