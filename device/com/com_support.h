#pragma once

// Owners for the automation types the COM binding handles, and BSTR text. Windows only.

#include "win32/win32_text.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// One BSTR, freed exactly once.
class UniqueBstr final {
public:
    UniqueBstr() noexcept = default;
    // Takes over `owned`, which must have come from SysAllocString and friends.
    explicit UniqueBstr(BSTR owned) noexcept
        : m_bstr(owned)
    {}
    // Throws std::bad_alloc when the system cannot allocate it.
    static UniqueBstr fromUtf8(std::string_view text);

    UniqueBstr(UniqueBstr &&other) noexcept;
    UniqueBstr &operator=(UniqueBstr &&other) noexcept;
    UniqueBstr(const UniqueBstr &) = delete;
    UniqueBstr &operator=(const UniqueBstr &) = delete;
    ~UniqueBstr() { SysFreeString(m_bstr); }

    BSTR get() const noexcept { return m_bstr; }
    // Hands the string to a new owner, such as a VARIANT.
    BSTR release() noexcept;

private:
    BSTR m_bstr = nullptr;
};

// One VARIANT, initialised on construction and cleared exactly once on destruction.
class UniqueVariant final {
public:
    UniqueVariant() noexcept { VariantInit(&m_variant); }
    ~UniqueVariant() { VariantClear(&m_variant); }
    UniqueVariant(const UniqueVariant &) = delete;
    UniqueVariant &operator=(const UniqueVariant &) = delete;

    VARIANT *get() noexcept { return &m_variant; }
    const VARIANT &operator*() const noexcept { return m_variant; }

private:
    VARIANT m_variant;
};

// The positional arguments of one call, in the order IDispatch::Invoke wants them: the last
// argument first. Clears every VARIANT it holds exactly once.
class VariantArray final {
public:
    VariantArray() = default;
    VariantArray(const VariantArray &) = delete;
    VariantArray &operator=(const VariantArray &) = delete;
    ~VariantArray();

    void reserve(std::size_t count) { m_items.reserve(count); }
    // Takes over whatever `value` owns; never throws once reserve() made room.
    void push(const VARIANT &value) { m_items.push_back(value); }

    VARIANT *data() noexcept { return m_items.empty() ? nullptr : m_items.data(); }
    UINT size() const noexcept { return static_cast<UINT>(m_items.size()); }

private:
    std::vector<VARIANT> m_items;
};

// The strings of an EXCEPINFO, freed exactly once whether or not anyone read them: a control may
// fill them in even where its answer does not say so.
class ExceptionInfo final {
public:
    ExceptionInfo() noexcept = default;
    ~ExceptionInfo() { clear(); }
    ExceptionInfo(const ExceptionInfo &) = delete;
    ExceptionInfo &operator=(const ExceptionInfo &) = delete;

    EXCEPINFO *get() noexcept { return &m_info; }
    EXCEPINFO &operator*() noexcept { return m_info; }
    void clear() noexcept;

private:
    EXCEPINFO m_info{};
};

// A BSTR's whole length, which may hold NULs; a null BSTR is the empty string.
std::string toUtf8(BSTR text);

} // namespace velmora
