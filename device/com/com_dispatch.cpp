#include "com/com_dispatch.h"

#include "com/com_error.h"
#include "com/com_support.h"
#include "com/com_variant.h"

#include <new>

namespace velmora {

namespace {

constexpr int ObjectNotSet = 91;

} // namespace

ComApartment::ComApartment()
    : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))
    // S_FALSE: already initialised on this thread, which still counts one more initialisation.
    // RPC_E_CHANGED_MODE counts none, so it must not be matched by an uninitialisation.
    , m_mustUninitialize(SUCCEEDED(m_result))
{}

ComApartment::~ComApartment()
{
    if (m_mustUninitialize)
        CoUninitialize();
}

bool ComApartment::usable() const noexcept
{
    return SUCCEEDED(m_result) || m_result == RPC_E_CHANGED_MODE;
}

DispatchStatus ComApartment::status() const
{
    return usable() ? DispatchStatus::success() : statusFromHresult(m_result);
}

ComDispatch::ComDispatch(IDispatch *dispatch)
    : m_dispatch(dispatch)
{}

ComDispatch::~ComDispatch() = default;

DispatchOutcome ComDispatch::invoke(DispatchId id, std::span<const AutomationValue> args)
{
    if (!m_dispatch)
        return DispatchOutcome::failure(ObjectNotSet, std::string(standardErrorText(ObjectNotSet)));
    // A reference of the call's own: a control whose call runs a message loop (a modal dialog)
    // may see this binding destroyed by a nested event, and must not be freed inside its own
    // Invoke. Nothing below touches a member once the call has started.
    const ComPtr<IDispatch> control = m_dispatch;

    VariantArray arguments;
    if (auto refused = toVariants(args, arguments))
        return {std::move(*refused), AutomationValue()};

    DISPPARAMS params{};
    params.rgvarg = arguments.data();
    params.cArgs = arguments.size();
    params.rgdispidNamedArgs = nullptr;
    params.cNamedArgs = 0;

    // Both flags, as late-bound callers pass them: a control may have made any of its members
    // a property.
    constexpr WORD Flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    UniqueVariant result;
    ExceptionInfo exception;
    UINT argumentInError = 0;
    const HRESULT hr = control->Invoke(id, IID_NULL, InvokeLocale, Flags, &params, result.get(),
                                       exception.get(), &argumentInError);
    if (hr == DISP_E_EXCEPTION)
        return {statusFromException(*exception), AutomationValue()};
    if (FAILED(hr))
        return {statusFromHresult(hr), AutomationValue()};
    return DispatchOutcome::success(fromVariant(*result));
}

ComCreation createComDispatch(const std::wstring &progId)
{
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId.c_str(), &clsid);
    if (FAILED(hr))
        return {nullptr, creationFailure(hr)};

    ComPtr<IDispatch> dispatch;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          dispatch.putVoid());
    if (FAILED(hr))
        return {nullptr, creationFailure(hr)};
    if (!dispatch)
        return {nullptr, statusFromHresult(E_NOINTERFACE)};
    return bindDispatch(dispatch);
}

ComCreation bindDispatch(const ComPtr<IDispatch> &dispatch) noexcept
{
    try {
        return {std::make_unique<ComDispatch>(dispatch.get()), DispatchStatus::success()};
    } catch (const std::bad_alloc &) {
        return {nullptr, statusFromHresult(E_OUTOFMEMORY)};
    }
}

ComCreation adoptHostedControl(IUnknown *control) noexcept
{
    // Held from the first line, so that every way out below releases it.
    const ComPtr<IUnknown> held = ComPtr<IUnknown>::adopt(control);
    if (!held)
        return {nullptr, creationFailure(E_POINTER)};
    ComPtr<IDispatch> dispatch;
    const HRESULT hr = held->QueryInterface(IID_IDispatch, dispatch.putVoid());
    if (FAILED(hr) || !dispatch)
        return {nullptr, statusFromHresult(FAILED(hr) ? hr : E_NOINTERFACE)};
    return bindDispatch(dispatch);
}

} // namespace velmora
