#pragma once

// What the Windows tests share: the test control's script and record, its object counts, and a
// count of COM task memory that BSTRs, SAFEARRAYs and the like come from.

#include "automation/automation_value.h"
#include "test_control.h"

#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <string_view>

namespace velmora::wintest {

// Sends a command to the test control through a short-lived object of its own, made with plain
// COM calls, so the code under test never carries its own test's plumbing. Fails the test where
// the control refuses the command.
void script(std::wstring_view command);

// The last call the test control recorded, as UTF-8.
std::string lastCall();

// The test control's counts; all zero before it was first loaded.
TestControlStats stats();

// The system's words for `hr`, worked out here independently of the binding.
std::string systemWords(HRESULT hr);

std::string utf8(std::wstring_view text);

// The next operator new in this program throws std::bad_alloc, as an allocation that fails.
void failNextAllocation();

// A COM object of the test's own that runs `action` when called (any DISPID), as an event sink
// or a nested message loop would; counted, so the test sees it released.
class CallbackObject final : public IDispatch {
public:
    explicit CallbackObject(std::function<void()> action)
        : m_action(std::move(action))
    {}

    LONG references() const { return m_references; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *,
                                     EXCEPINFO *, UINT *) override;

private:
    std::function<void()> m_action;
    LONG m_references = 1; // the test's own; it lives on the test's stack
};

// An object with IUnknown alone, as a control without automation would be; counts references.
class UnknownOnly final : public IUnknown {
public:
    LONG references() const { return m_references; }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }

private:
    LONG m_references = 1;
};

// Counts blocks of COM task memory (every BSTR, SAFEARRAY and EXCEPINFO string comes from there
// once the BSTR cache is off). A block freed twice is counted and the second free swallowed,
// so a fault shows as a failed count rather than a corrupt heap.
class TaskMemoryCounter final : public IMallocSpy {
public:
    static TaskMemoryCounter &instance();

    // Turns the BSTR cache off and registers; call once before any BSTR is made.
    bool start();
    void stop();

    std::size_t outstanding() const;
    long badFrees() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void *STDMETHODCALLTYPE PostAlloc(void *actual) override;
    void *STDMETHODCALLTYPE PreFree(void *request, BOOL spied) override;
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void *request, SIZE_T size, void **newRequest,
                                        BOOL spied) override;
    void *STDMETHODCALLTYPE PostRealloc(void *actual, BOOL spied) override;
    void *STDMETHODCALLTYPE PreGetSize(void *request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void *STDMETHODCALLTYPE PreDidAlloc(void *request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void *, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    TaskMemoryCounter() = default;

    mutable std::mutex m_mutex;
    std::set<void *> m_live;
    std::set<void *> m_freed; // freed while counting and not handed out again since
    void *m_reallocating = nullptr;
    long m_badFrees = 0;
};

} // namespace velmora::wintest

namespace velmora {
// Readable values in GoogleTest's failure messages.
void PrintTo(const AutomationValue &value, std::ostream *out);
} // namespace velmora
