#pragma once

// Text between our UTF-8 and Windows' UTF-16, and the system's own words for an error. Shared by
// the COM binding and the simulated card's files; Windows only.

#include <windows.h>

#include <string>
#include <string_view>

namespace velmora {

// Invalid input becomes U+FFFD rather than an error: a description or a result string is still
// worth showing with one character spoilt. Embedded NULs are kept.
std::wstring toUtf16(std::string_view text);
std::string toUtf8(std::wstring_view text);

// The system's own words for `hr`, without the trailing line break; empty where it has none.
std::string systemMessage(HRESULT hr);

} // namespace velmora
