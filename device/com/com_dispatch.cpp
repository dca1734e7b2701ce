#include "com/com_dispatch.h"

#include "com/com_error.h"
#include "com/com_support.h"
#include "com/com_variant.h"

namespace velmora {

namespace {

// U.S. English rather than the user's locale: where a control turns a result into text by the
// locale it is given, the text comes out in the form our Boolean reading (U.S. English rules)
// understands, on every machine alike.
constexpr LCID InvokeLocale = 0x0409;

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
    const HRESULT hr = m_dispatch->Invoke(id, IID_NULL, InvokeLocale, Flags, &params, result.get(),
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
        return {nullptr, statusFromHresult(hr)};

    ComPtr<IDispatch> dispatch;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                          dispatch.putVoid());
    if (FAILED(hr))
        return {nullptr, statusFromHresult(hr)};
    if (!dispatch)
        return {nullptr, statusFromHresult(E_NOINTERFACE)};
    return {std::make_unique<ComDispatch>(dispatch.get()), DispatchStatus::success()};
}

} // namespace velmora
