#pragma once

#include <utility>

namespace velmora {

// One counted reference to a COM interface, released exactly once. Needs no Windows header, so
// a class can hold one of a forward-declared interface as long as the code that copies or
// destroys it sees the full declaration.
template<typename T> class ComPtr final {
public:
    ComPtr() noexcept = default;
    // Shares `p`: takes a reference of its own, the caller keeps theirs.
    explicit ComPtr(T *p) noexcept
        : m_p(p)
    {
        if (m_p != nullptr)
            m_p->AddRef();
    }
    // Takes over a reference the caller already holds, such as an out-parameter's.
    static ComPtr adopt(T *p) noexcept
    {
        ComPtr held;
        held.m_p = p;
        return held;
    }

    ComPtr(const ComPtr &other) noexcept
        : ComPtr(other.m_p)
    {}
    ComPtr(ComPtr &&other) noexcept
        : m_p(std::exchange(other.m_p, nullptr))
    {}
    ComPtr &operator=(ComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~ComPtr() { reset(); }

    void reset() noexcept
    {
        if (T *p = std::exchange(m_p, nullptr))
            p->Release();
    }

    T *get() const noexcept { return m_p; }
    T *operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // For an out-parameter: whatever was held is released first, so nothing leaks on reuse.
    T **put() noexcept
    {
        reset();
        return &m_p;
    }
    void **putVoid() noexcept { return reinterpret_cast<void **>(put()); }

private:
    T *m_p = nullptr;
};

} // namespace velmora
