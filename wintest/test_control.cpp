// The test control: an in-process server (ThreadingModel Apartment) with a hand-written
// IDispatch. It answers 25, 17 and 16 with the argument counts the card maker's control takes,
// and 1002 with any, records each of those calls, and answers all of them as scripted through
// 1000. It has no type information and no names: GetIDsOfNames always fails, and it counts the
// calls, because a binding that calls it is wrong.
//
// Commands (1000), one VT_BSTR each; every answer stays until the next command changes it:
//   reset                          answer True, write nothing, forget the last call
//   result <kind> [value]          answer a value: empty, null, bool N, i1 N, ui1 N, i2 N,
//                                  ui2 N, i4 N, ui4 N, int N, uint N, i8 N, ui8 N, r4 X, r8 X,
//                                  cy N (in ten-thousandths), date X, decimal TEXT, bstr TEXT
//                                  (the rest of the line, as it is), error 0xHRESULT, dispatch,
//                                  unknown (the object itself), array (two VT_I2),
//                                  byref-i2 N (a reference into the server)
//   fail hresult 0xHRESULT         return that HRESULT
//   fail exception 0xSCODE WCODE [description]
//                                  DISP_E_EXCEPTION with an EXCEPINFO filled in at once
//   fail deferred 0xSCODE WCODE [description]
//                                  the same, but filled in by pfnDeferredFillIn
//   write N                        16 writes N through its by-reference argument
//   default <kind> [value]         its default value (DISPID_VALUE), made as for "result";
//                                  without one, reading it fails with DISP_E_MEMBERNOTFOUND
//
// The last call (1001) reads "id=16 flags=3 lcid=1033 named=0 args=byref-i2:7,i4:1": the
// arguments in rgvarg order, by-reference values as they were before any write.

#include "test_control.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <utility>

using velmora::wintest::TestControlStats;

namespace {

HMODULE g_module = nullptr;
TestControlStats g_stats{};

CLSID testControlClsid()
{
    CLSID clsid{};
    CLSIDFromString(velmora::wintest::TestControlClsid, &clsid);
    return clsid;
}

enum class Kind { Value, Hresult, Exception, Deferred };

struct Answer {
    Kind kind = Kind::Value;
    std::wstring valueKind = L"bool";
    std::wstring valueText = L"-1";
    HRESULT hr = S_OK;
    WORD wCode = 0;
    std::wstring description;
};

struct Script {
    Answer answer;
    std::optional<SHORT> write;
    std::optional<Answer> defaultValue;
    std::wstring lastCall;
};

Script g_script;
IDispatch *g_callback = nullptr; // held until the call that makes it
const void *g_inCall = nullptr;  // the object whose recorded call runs the callback

void dropCallback()
{
    if (IDispatch *callback = std::exchange(g_callback, nullptr))
        callback->Release();
}
SHORT g_byRefResult = 0;

// What the deferred fill-in hands over when asked.
Answer g_deferred;

BSTR allocString(const std::wstring &text)
{
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void fillException(EXCEPINFO &info, const Answer &answer)
{
    info.wCode = answer.wCode;
    info.scode = answer.wCode != 0 ? 0 : answer.hr;
    info.bstrSource = allocString(L"Velmora.TestControl");
    info.bstrDescription = answer.description.empty() ? nullptr : allocString(answer.description);
    info.bstrHelpFile = allocString(L"velmora.hlp");
    info.pfnDeferredFillIn = nullptr;
}

HRESULT __stdcall deferredFillIn(EXCEPINFO *info)
{
    fillException(*info, g_deferred);
    return S_OK;
}

std::wstring widen(const std::string &text)
{
    return std::wstring(text.begin(), text.end()); // ASCII only
}

std::wstring describe(const VARIANT &arg)
{
    char buffer[64];
    switch (V_VT(&arg)) {
    case VT_EMPTY:
        return L"empty";
    case VT_NULL:
        return L"null";
    case VT_BOOL:
        std::snprintf(buffer, sizeof buffer, "bool:%d", V_BOOL(&arg));
        break;
    case VT_I2:
        std::snprintf(buffer, sizeof buffer, "i2:%d", V_I2(&arg));
        break;
    case VT_I4:
        std::snprintf(buffer, sizeof buffer, "i4:%ld", static_cast<long>(V_I4(&arg)));
        break;
    case VT_R8:
        std::snprintf(buffer, sizeof buffer, "r8:%.17g", V_R8(&arg));
        break;
    case VT_ERROR:
        std::snprintf(buffer, sizeof buffer, "error:0x%08lX",
                      static_cast<unsigned long>(V_ERROR(&arg)));
        break;
    case VT_BYREF | VT_I2:
        if (V_I2REF(&arg) == nullptr)
            return L"byref-i2:null";
        std::snprintf(buffer, sizeof buffer, "byref-i2:%d", *V_I2REF(&arg));
        break;
    case VT_BSTR: {
        const BSTR text = V_BSTR(&arg);
        if (text == nullptr)
            return L"bstr:null";
        std::wstring shown = L"bstr[" + std::to_wstring(SysStringLen(text)) + L"]:\"";
        for (UINT i = 0; i < SysStringLen(text); ++i)
            shown += text[i] == L'\0' ? std::wstring(L"\\0") : std::wstring(1, text[i]);
        return shown + L"\"";
    }
    default:
        std::snprintf(buffer, sizeof buffer, "vt:0x%04X", V_VT(&arg));
        break;
    }
    return widen(buffer);
}

void record(DISPID id, LCID lcid, WORD flags, const DISPPARAMS &params)
{
    ++g_stats.recordedCalls;
    std::wstring text = L"id=" + std::to_wstring(id) + L" flags=" + std::to_wstring(flags) +
                        L" lcid=" + std::to_wstring(lcid) + L" named=" +
                        std::to_wstring(params.cNamedArgs) + L" args=";
    for (UINT i = 0; i < params.cArgs; ++i) {
        if (i > 0)
            text += L",";
        text += describe(params.rgvarg[i]);
    }
    g_script.lastCall = text;
}

std::wstring restOfLine(std::wistringstream &in)
{
    std::wstring rest;
    std::getline(in, rest);
    if (!rest.empty() && rest.front() == L' ')
        rest.erase(0, 1);
    return rest;
}

HRESULT parseHresult(const std::wstring &text, HRESULT &out)
{
    wchar_t *end = nullptr;
    const unsigned long long value = std::wcstoull(text.c_str(), &end, 0);
    if (text.empty() || *end != L'\0' || value > 0xFFFFFFFFull)
        return E_INVALIDARG;
    out = static_cast<HRESULT>(static_cast<unsigned long>(value));
    return S_OK;
}

HRESULT runCommand(const std::wstring &command)
{
    std::wistringstream in(command);
    std::wstring verb;
    in >> verb;
    if (verb == L"reset") {
        g_script = Script{};
        dropCallback();
        return S_OK;
    }
    if (verb == L"write") {
        long value = 0;
        if (!(in >> value))
            return E_INVALIDARG;
        g_script.write = static_cast<SHORT>(value);
        return S_OK;
    }
    if (verb == L"result" || verb == L"default") {
        Answer answer;
        in >> answer.valueKind;
        answer.valueText = restOfLine(in);
        if (verb == L"result")
            g_script.answer = answer;
        else
            g_script.defaultValue = answer;
        return S_OK;
    }
    if (verb == L"fail") {
        Answer answer;
        std::wstring how, code;
        in >> how >> code;
        if (FAILED(parseHresult(code, answer.hr)))
            return E_INVALIDARG;
        if (how == L"hresult") {
            answer.kind = Kind::Hresult;
        } else if (how == L"exception" || how == L"deferred") {
            answer.kind = how == L"exception" ? Kind::Exception : Kind::Deferred;
            unsigned wCode = 0;
            if (!(in >> wCode))
                return E_INVALIDARG;
            answer.wCode = static_cast<WORD>(wCode);
            answer.description = restOfLine(in);
        } else {
            return E_INVALIDARG;
        }
        g_script.answer = answer;
        return S_OK;
    }
    return E_INVALIDARG;
}

// The scripted value, made anew for each call.
HRESULT makeValue(const Answer &answer, IDispatch *self, VARIANT &out)
{
    const std::wstring &kind = answer.valueKind;
    const std::wstring &text = answer.valueText;
    const wchar_t *s = text.c_str();
    if (kind == L"empty")
        return S_OK;
    if (kind == L"null") {
        V_VT(&out) = VT_NULL;
    } else if (kind == L"bool") {
        V_VT(&out) = VT_BOOL;
        V_BOOL(&out) = static_cast<VARIANT_BOOL>(std::wcstol(s, nullptr, 0));
    } else if (kind == L"i1") {
        V_VT(&out) = VT_I1;
        V_I1(&out) = static_cast<CHAR>(std::wcstol(s, nullptr, 0));
    } else if (kind == L"ui1") {
        V_VT(&out) = VT_UI1;
        V_UI1(&out) = static_cast<BYTE>(std::wcstoul(s, nullptr, 0));
    } else if (kind == L"i2") {
        V_VT(&out) = VT_I2;
        V_I2(&out) = static_cast<SHORT>(std::wcstol(s, nullptr, 0));
    } else if (kind == L"ui2") {
        V_VT(&out) = VT_UI2;
        V_UI2(&out) = static_cast<USHORT>(std::wcstoul(s, nullptr, 0));
    } else if (kind == L"i4") {
        V_VT(&out) = VT_I4;
        V_I4(&out) = static_cast<LONG>(std::wcstoll(s, nullptr, 0));
    } else if (kind == L"ui4") {
        V_VT(&out) = VT_UI4;
        V_UI4(&out) = static_cast<ULONG>(std::wcstoull(s, nullptr, 0));
    } else if (kind == L"int") {
        V_VT(&out) = VT_INT;
        V_INT(&out) = static_cast<INT>(std::wcstoll(s, nullptr, 0));
    } else if (kind == L"uint") {
        V_VT(&out) = VT_UINT;
        V_UINT(&out) = static_cast<UINT>(std::wcstoull(s, nullptr, 0));
    } else if (kind == L"i8") {
        V_VT(&out) = VT_I8;
        V_I8(&out) = std::wcstoll(s, nullptr, 0);
    } else if (kind == L"ui8") {
        V_VT(&out) = VT_UI8;
        V_UI8(&out) = std::wcstoull(s, nullptr, 0);
    } else if (kind == L"r4") {
        V_VT(&out) = VT_R4;
        V_R4(&out) = std::wcstof(s, nullptr);
    } else if (kind == L"r8") {
        V_VT(&out) = VT_R8;
        V_R8(&out) = std::wcstod(s, nullptr);
    } else if (kind == L"cy") {
        V_VT(&out) = VT_CY;
        V_CY(&out).int64 = std::wcstoll(s, nullptr, 0);
    } else if (kind == L"date") {
        V_VT(&out) = VT_DATE;
        V_DATE(&out) = std::wcstod(s, nullptr);
    } else if (kind == L"decimal") {
        DECIMAL decimal{};
        std::wstring copy = text;
        const HRESULT hr = VarDecFromStr(copy.data(), 0x0409, 0, &decimal);
        if (FAILED(hr))
            return hr;
        V_DECIMAL(&out) = decimal;
        V_VT(&out) = VT_DECIMAL;
    } else if (kind == L"bstr") {
        V_VT(&out) = VT_BSTR;
        V_BSTR(&out) = allocString(text);
        if (V_BSTR(&out) == nullptr)
            return E_OUTOFMEMORY;
    } else if (kind == L"error") {
        HRESULT scode = S_OK;
        if (FAILED(parseHresult(text, scode)))
            return E_INVALIDARG;
        V_VT(&out) = VT_ERROR;
        V_ERROR(&out) = scode;
    } else if (kind == L"dispatch" || kind == L"unknown") {
        self->AddRef();
        V_VT(&out) = kind == L"dispatch" ? VT_DISPATCH : VT_UNKNOWN;
        V_DISPATCH(&out) = self; // the same pointer serves as its IUnknown
    } else if (kind == L"array") {
        SAFEARRAY *array = SafeArrayCreateVector(VT_I2, 0, 2);
        if (array == nullptr)
            return E_OUTOFMEMORY;
        V_VT(&out) = VT_ARRAY | VT_I2;
        V_ARRAY(&out) = array;
    } else if (kind == L"byref-i2") {
        g_byRefResult = static_cast<SHORT>(std::wcstol(s, nullptr, 0));
        V_VT(&out) = VT_BYREF | VT_I2;
        V_I2REF(&out) = &g_byRefResult;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

class TestControl final : public IDispatch {
public:
    TestControl() { InterlockedIncrement(&g_stats.liveObjects); }
    TestControl(const TestControl &) = delete;
    TestControl &operator=(const TestControl &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
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
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&m_references));
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_references);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *count) override
    {
        InterlockedIncrement(&g_stats.typeInfoCalls);
        if (count == nullptr)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **info) override
    {
        InterlockedIncrement(&g_stats.typeInfoCalls);
        if (info != nullptr)
            *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT count, LCID,
                                            DISPID *ids) override
    {
        InterlockedIncrement(&g_stats.idsOfNamesCalls);
        for (UINT i = 0; ids != nullptr && i < count; ++i)
            ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS *params,
                                     VARIANT *result, EXCEPINFO *exception, UINT *argError) override
    {
        if (params == nullptr)
            return E_INVALIDARG;
        switch (id) {
        case velmora::wintest::ScriptId:
            if (params->cArgs != 1 || V_VT(&params->rgvarg[0]) != VT_BSTR)
                return DISP_E_TYPEMISMATCH;
            return runCommand(V_BSTR(&params->rgvarg[0]) == nullptr
                                  ? std::wstring()
                                  : std::wstring(V_BSTR(&params->rgvarg[0]),
                                                 SysStringLen(V_BSTR(&params->rgvarg[0]))));
        case velmora::wintest::LastCallId:
            if (result != nullptr) {
                V_VT(result) = VT_BSTR;
                V_BSTR(result) = allocString(g_script.lastCall);
            }
            return S_OK;
        case DISPID_VALUE:
            InterlockedIncrement(&g_stats.defaultValueCalls);
            if (!g_script.defaultValue || params->cArgs != 0)
                return DISP_E_MEMBERNOTFOUND;
            if (result == nullptr)
                return S_OK;
            VariantInit(result);
            return makeValue(*g_script.defaultValue, this, *result);
        case velmora::wintest::CallbackId:
            if (params->cArgs != 1 || V_VT(&params->rgvarg[0]) != VT_DISPATCH ||
                V_DISPATCH(&params->rgvarg[0]) == nullptr)
                return DISP_E_TYPEMISMATCH;
            dropCallback();
            g_callback = V_DISPATCH(&params->rgvarg[0]);
            g_callback->AddRef();
            return S_OK;
        case 25:
        case 17:
        case 16:
        case velmora::wintest::EchoId:
            break;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }

        record(id, lcid, flags, *params);
        if (IDispatch *callback = std::exchange(g_callback, nullptr)) {
            // Whatever the callback does, this object must outlive its own call; if it does
            // not, say so and touch nothing of it.
            g_inCall = this;
            const LONG freedBefore = g_stats.freedDuringCall;
            DISPPARAMS none{};
            callback->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_METHOD, &none, nullptr, nullptr,
                             nullptr);
            callback->Release();
            if (g_stats.freedDuringCall != freedBefore)
                return RPC_E_DISCONNECTED;
            g_inCall = nullptr;
        }
        if (params->cNamedArgs != 0)
            return DISP_E_NONAMEDARGS;
        const UINT wanted = id == 25 ? 0 : 2;
        if (id != velmora::wintest::EchoId && params->cArgs != wanted)
            return DISP_E_BADPARAMCOUNT;
        if (id == 16 && g_script.write) {
            VARIANT &target = params->rgvarg[0];
            if (V_VT(&target) != (VT_BYREF | VT_I2) || V_I2REF(&target) == nullptr) {
                if (argError != nullptr)
                    *argError = 0;
                return DISP_E_TYPEMISMATCH;
            }
            *V_I2REF(&target) = *g_script.write;
        }

        const Answer &answer = g_script.answer;
        switch (answer.kind) {
        case Kind::Hresult:
            return answer.hr;
        case Kind::Exception:
            if (exception != nullptr)
                fillException(*exception, answer);
            return DISP_E_EXCEPTION;
        case Kind::Deferred:
            if (exception != nullptr) {
                *exception = EXCEPINFO{};
                g_deferred = answer;
                exception->pfnDeferredFillIn = &deferredFillIn;
            }
            return DISP_E_EXCEPTION;
        case Kind::Value:
            break;
        }
        if (result == nullptr)
            return S_OK;
        VariantInit(result);
        return makeValue(answer, this, *result);
    }

private:
    ~TestControl()
    {
        InterlockedDecrement(&g_stats.liveObjects);
        if (g_inCall == this) {
            InterlockedIncrement(&g_stats.freedDuringCall);
            g_inCall = nullptr;
        }
    }

    LONG m_references = 1;
};

class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory for the server's life: its references are the server locks' business.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto *control = new (std::nothrow) TestControl();
        if (control == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = control->QueryInterface(riid, object);
        control->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&g_stats.serverLocks);
        else
            InterlockedDecrement(&g_stats.serverLocks);
        return S_OK;
    }
};

Factory g_factory;

LSTATUS setValue(HKEY root, const std::wstring &path, const wchar_t *name,
                 const std::wstring &value)
{
    return RegSetKeyValueW(root, path.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void **object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (clsid != testControlClsid())
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

HRESULT WINAPI DllCanUnloadNow()
{
    return g_stats.liveObjects == 0 && g_stats.serverLocks == 0 ? S_OK : S_FALSE;
}

// Per-user registration, which needs no administrator on Windows. (Wine 8 reads classes only
// from the machine's part of the registry, so scripts/wine-test registers there itself.)
HRESULT WINAPI DllRegisterServer()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return E_FAIL;
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring clsidKey = classes + L"CLSID\\" + velmora::wintest::TestControlClsid;
    const std::wstring progIdKey = classes + velmora::wintest::TestControlProgId;
    LSTATUS status = setValue(HKEY_CURRENT_USER, clsidKey, nullptr, L"Velmora test control");
    if (status == ERROR_SUCCESS)
        status = setValue(HKEY_CURRENT_USER, clsidKey + L"\\InprocServer32", nullptr, path);
    if (status == ERROR_SUCCESS)
        status = setValue(HKEY_CURRENT_USER, clsidKey + L"\\InprocServer32", L"ThreadingModel",
                          L"Apartment");
    if (status == ERROR_SUCCESS)
        status = setValue(HKEY_CURRENT_USER, clsidKey + L"\\ProgID", nullptr,
                          velmora::wintest::TestControlProgId);
    if (status == ERROR_SUCCESS)
        status = setValue(HKEY_CURRENT_USER, progIdKey + L"\\CLSID", nullptr,
                          velmora::wintest::TestControlClsid);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT WINAPI DllUnregisterServer()
{
    const std::wstring classes = L"Software\\Classes\\";
    RegDeleteTreeW(HKEY_CURRENT_USER,
                   (classes + L"CLSID\\" + velmora::wintest::TestControlClsid).c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, (classes + velmora::wintest::TestControlProgId).c_str());
    return S_OK;
}

void WINAPI VelmoraTestControlStats(TestControlStats *stats)
{
    if (stats != nullptr)
        *stats = g_stats;
}

} // extern "C"
