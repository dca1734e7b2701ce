#include "test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_failNextAllocation{false};

} // namespace

// Every allocation of this program comes here, so that a test can make one fail.
void *operator new(std::size_t size)
{
    if (g_failNextAllocation.exchange(false))
        throw std::bad_alloc();
    if (void *block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void operator delete(void *block) noexcept
{
    std::free(block);
}

void operator delete(void *block, std::size_t) noexcept
{
    std::free(block);
}

namespace velmora::wintest {

void failNextAllocation()
{
    g_failNextAllocation = true;
}

HRESULT CallbackObject::QueryInterface(REFIID riid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *object = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CallbackObject::GetTypeInfoCount(UINT *count)
{
    if (count != nullptr)
        *count = 0;
    return S_OK;
}

HRESULT CallbackObject::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                               UINT *)
{
    if (m_action)
        m_action();
    return S_OK;
}

HRESULT UnknownOnly::QueryInterface(REFIID riid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        *object = static_cast<IUnknown *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

namespace {

// Plain COM, none of the binding's own holders: a fault there must not hide in the plumbing.
IDispatch *createScriptObject()
{
    CLSID clsid{};
    if (FAILED(CLSIDFromProgID(TestControlProgId, &clsid)))
        return nullptr;
    IDispatch *dispatch = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                reinterpret_cast<void **>(&dispatch))))
        return nullptr;
    return dispatch;
}

} // namespace

void script(std::wstring_view command)
{
    IDispatch *dispatch = createScriptObject();
    ASSERT_NE(dispatch, nullptr) << "the test control is not registered";
    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_BSTR;
    V_BSTR(&arg) = SysAllocStringLen(command.data(), static_cast<UINT>(command.size()));
    DISPPARAMS params{&arg, nullptr, 1, 0};
    const HRESULT hr = dispatch->Invoke(ScriptId, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr,
                                        nullptr, nullptr);
    VariantClear(&arg);
    dispatch->Release();
    ASSERT_EQ(hr, S_OK) << "command refused: " << utf8(command);
}

std::string lastCall()
{
    IDispatch *dispatch = createScriptObject();
    if (dispatch == nullptr) {
        ADD_FAILURE() << "the test control is not registered";
        return {};
    }
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    dispatch->Invoke(LastCallId, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    std::string text;
    if (V_VT(&result) == VT_BSTR && V_BSTR(&result) != nullptr)
        text = utf8(std::wstring_view(V_BSTR(&result), SysStringLen(V_BSTR(&result))));
    VariantClear(&result);
    dispatch->Release();
    return text;
}

TestControlStats stats()
{
    TestControlStats counts{};
    const HMODULE module = GetModuleHandleW(TestControlDll);
    if (module == nullptr)
        return counts;
    // A FARPROC is cast by way of a plain function pointer, as GetProcAddress's users must.
    const auto function = reinterpret_cast<TestControlStatsFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, TestControlStatsExport)));
    if (function != nullptr)
        function(&counts);
    return counts;
}

std::string utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

std::string systemWords(HRESULT hr)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring words(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    while (!words.empty() && std::wstring_view(L"\r\n \t").find(words.back()) != std::wstring::npos)
        words.pop_back();
    return utf8(words);
}

TaskMemoryCounter &TaskMemoryCounter::instance()
{
    static TaskMemoryCounter counter;
    return counter;
}

bool TaskMemoryCounter::start()
{
    // Freed BSTRs otherwise go to a cache instead of back to the task allocator, and could not
    // be told from leaked ones.
    if (HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll")) {
        using SetOaNoCacheFunction = void(WINAPI *)();
        const auto setOaNoCache = reinterpret_cast<SetOaNoCacheFunction>(
            reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "SetOaNoCache")));
        if (setOaNoCache != nullptr)
            setOaNoCache();
    }
    return SUCCEEDED(CoRegisterMallocSpy(this));
}

void TaskMemoryCounter::stop()
{
    CoRevokeMallocSpy(); // refused while counted blocks are still out; nothing to do about it
}

std::size_t TaskMemoryCounter::outstanding() const
{
    std::lock_guard lock(m_mutex);
    return m_live.size();
}

long TaskMemoryCounter::badFrees() const
{
    std::lock_guard lock(m_mutex);
    return m_badFrees;
}

HRESULT TaskMemoryCounter::QueryInterface(REFIID riid, void **object)
{
    if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
        *object = static_cast<IMallocSpy *>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void *TaskMemoryCounter::PostAlloc(void *actual)
{
    std::lock_guard lock(m_mutex);
    if (actual != nullptr) {
        m_live.insert(actual);
        m_freed.erase(actual);
    }
    return actual;
}

void *TaskMemoryCounter::PreFree(void *request, BOOL)
{
    std::lock_guard lock(m_mutex);
    if (request == nullptr)
        return request;
    if (m_live.erase(request) != 0) {
        m_freed.insert(request);
        return request;
    }
    if (m_freed.count(request) != 0) {
        ++m_badFrees;
        return nullptr; // freeing it again would corrupt the heap
    }
    return request; // allocated before counting began
}

SIZE_T TaskMemoryCounter::PreRealloc(void *request, SIZE_T size, void **newRequest, BOOL)
{
    std::lock_guard lock(m_mutex);
    m_reallocating = request;
    *newRequest = request;
    return size;
}

void *TaskMemoryCounter::PostRealloc(void *actual, BOOL)
{
    std::lock_guard lock(m_mutex);
    if (actual != nullptr) {
        if (m_live.erase(m_reallocating) != 0)
            m_freed.insert(m_reallocating);
        m_live.insert(actual);
        m_freed.erase(actual);
    }
    m_reallocating = nullptr;
    return actual;
}

} // namespace velmora::wintest

namespace velmora {

void PrintTo(const AutomationValue &value, std::ostream *out)
{
    switch (value.kind()) {
    case AutomationValue::Kind::Empty:
        *out << "Empty";
        break;
    case AutomationValue::Kind::Null:
        *out << "Null";
        break;
    case AutomationValue::Kind::Boolean:
        *out << "Boolean " << (value.asBoolean() ? "True" : "False");
        break;
    case AutomationValue::Kind::Integer:
        *out << "Integer " << value.asInteger();
        break;
    case AutomationValue::Kind::Long:
        *out << "Long " << value.asLong();
        break;
    case AutomationValue::Kind::Double:
        *out << "Double " << value.asDouble();
        break;
    case AutomationValue::Kind::String:
        *out << "String \"" << value.asString() << '"';
        break;
    case AutomationValue::Kind::Error:
        *out << "Error 0x" << std::hex << static_cast<std::uint32_t>(value.asError()) << std::dec;
        break;
    case AutomationValue::Kind::IntegerByRef:
        *out << "IntegerByRef " << static_cast<const void *>(value.asIntegerByRef());
        break;
    }
}

} // namespace velmora
