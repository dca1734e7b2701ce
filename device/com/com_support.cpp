#include "com/com_support.h"

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

std::string toUtf8(BSTR text)
{
    if (text == nullptr)
        return {};
    return toUtf8(std::wstring_view(text, SysStringLen(text)));
}

} // namespace velmora
