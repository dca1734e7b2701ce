#include "com/com_variant.h"

#include "com/com_error.h"
#include "com/com_ptr.h"

#include <cstdint>
#include <utility>

namespace velmora {

namespace {

// What the automation conversion itself raises for a value it cannot read as a Boolean.
AutomationValue noBooleanReading()
{
    return AutomationValue::error(DISP_E_TYPEMISMATCH);
}

template<typename Int> AutomationValue wideInteger(Int value)
{
    // Only zero or not matters to the Boolean reading, and a double keeps that for every 64-bit
    // value; a Long keeps the exact number where it fits.
    if (std::in_range<std::int32_t>(value))
        return AutomationValue::longInteger(static_cast<std::int32_t>(value));
    return AutomationValue::real(static_cast<double>(value));
}

// The referenced value as a by-value VARIANT that owns nothing: the result it came from keeps
// its BSTRs and objects and is cleared by its owner. False for what cannot be read through.
bool readThrough(const VARIANT &ref, VARIANT &out)
{
    if (V_BYREF(&ref) == nullptr)
        return false;
    const VARTYPE base = V_VT(&ref) & ~VT_BYREF;
    switch (base) {
    case VT_BOOL:
        V_BOOL(&out) = *V_BOOLREF(&ref);
        break;
    case VT_I1:
        V_I1(&out) = *V_I1REF(&ref);
        break;
    case VT_UI1:
        V_UI1(&out) = *V_UI1REF(&ref);
        break;
    case VT_I2:
        V_I2(&out) = *V_I2REF(&ref);
        break;
    case VT_UI2:
        V_UI2(&out) = *V_UI2REF(&ref);
        break;
    case VT_I4:
        V_I4(&out) = *V_I4REF(&ref);
        break;
    case VT_UI4:
        V_UI4(&out) = *V_UI4REF(&ref);
        break;
    case VT_INT:
        V_INT(&out) = *V_INTREF(&ref);
        break;
    case VT_UINT:
        V_UINT(&out) = *V_UINTREF(&ref);
        break;
    case VT_I8:
        V_I8(&out) = *V_I8REF(&ref);
        break;
    case VT_UI8:
        V_UI8(&out) = *V_UI8REF(&ref);
        break;
    case VT_R4:
        V_R4(&out) = *V_R4REF(&ref);
        break;
    case VT_R8:
        V_R8(&out) = *V_R8REF(&ref);
        break;
    case VT_CY:
        V_CY(&out) = *V_CYREF(&ref);
        break;
    case VT_DATE:
        V_DATE(&out) = *V_DATEREF(&ref);
        break;
    case VT_BSTR:
        V_BSTR(&out) = *V_BSTRREF(&ref);
        break;
    case VT_ERROR:
        V_ERROR(&out) = *V_ERRORREF(&ref);
        break;
    case VT_DISPATCH:
        V_DISPATCH(&out) = *V_DISPATCHREF(&ref);
        break;
    case VT_UNKNOWN:
        V_UNKNOWN(&out) = *V_UNKNOWNREF(&ref);
        break;
    case VT_DECIMAL:
        // A DECIMAL fills the whole VARIANT, its type field included, so the type is set after.
        V_DECIMAL(&out) = *V_DECIMALREF(&ref);
        break;
    case VT_VARIANT: {
        // One level only: a variant holding a reference to a variant is not a valid result.
        const VARIANT &inner = *V_VARIANTREF(&ref);
        if ((V_VT(&inner) & VT_BYREF) != 0 || V_VT(&inner) == VT_VARIANT)
            return false;
        out = inner;
        return true;
    }
    default:
        return false;
    }
    V_VT(&out) = base;
    return true;
}

AutomationValue fromVariantAt(const VARIANT &value, int depth);

// An object's default value, as the automation conversion reads it: the DISPID_VALUE property.
// A default value that is itself an object is read the same way, a few levels deep at most, so a
// control whose default value is itself cannot keep us calling forever.
AutomationValue defaultValue(IUnknown *object, int depth)
{
    constexpr int MaxDepth = 4;
    if (object == nullptr || depth >= MaxDepth)
        return noBooleanReading();
    ComPtr<IDispatch> dispatch;
    if (FAILED(object->QueryInterface(IID_IDispatch, dispatch.putVoid())) || !dispatch)
        return noBooleanReading();
    DISPPARAMS none{};
    UniqueVariant result;
    ExceptionInfo exception;
    UINT argumentInError = 0;
    const HRESULT hr = dispatch->Invoke(DISPID_VALUE, IID_NULL, InvokeLocale,
                                        DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, result.get(),
                                        exception.get(), &argumentInError);
    if (FAILED(hr))
        return noBooleanReading();
    return fromVariantAt(*result, depth + 1);
}

AutomationValue fromByValue(const VARIANT &value, int depth)
{
    switch (V_VT(&value)) {
    case VT_EMPTY:
        return AutomationValue::empty();
    case VT_NULL:
        return AutomationValue::null();
    case VT_BOOL:
        return AutomationValue::boolean(V_BOOL(&value) != VARIANT_FALSE);
    case VT_I2:
        return AutomationValue::integer(V_I2(&value));
    case VT_I4:
        return AutomationValue::longInteger(V_I4(&value));
    case VT_R8:
        return AutomationValue::real(V_R8(&value));
    case VT_BSTR:
        return AutomationValue::string(toUtf8(V_BSTR(&value)));
    case VT_ERROR:
        return AutomationValue::error(V_ERROR(&value));
    case VT_I1:
        return AutomationValue::longInteger(static_cast<signed char>(V_I1(&value)));
    case VT_UI1:
        return AutomationValue::longInteger(V_UI1(&value));
    case VT_UI2:
        return AutomationValue::longInteger(V_UI2(&value));
    case VT_UI4:
        return wideInteger(V_UI4(&value));
    case VT_INT:
        return wideInteger(V_INT(&value));
    case VT_UINT:
        return wideInteger(V_UINT(&value));
    case VT_I8:
        return wideInteger(V_I8(&value));
    case VT_UI8:
        return wideInteger(V_UI8(&value));
    case VT_R4:
        return AutomationValue::real(V_R4(&value));
    case VT_CY:
        // Currency is a count of ten-thousandths.
        return AutomationValue::real(static_cast<double>(V_CY(&value).int64) / 10000.0);
    case VT_DATE:
        return AutomationValue::real(V_DATE(&value));
    case VT_DECIMAL: {
        DECIMAL decimal = V_DECIMAL(&value);
        double real = 0.0;
        if (FAILED(VarR8FromDec(&decimal, &real)))
            return noBooleanReading(); // a malformed DECIMAL (scale or sign out of range)
        return AutomationValue::real(real);
    }
    case VT_DISPATCH:
        return defaultValue(V_DISPATCH(&value), depth);
    case VT_UNKNOWN:
        return defaultValue(V_UNKNOWN(&value), depth);
    default:
        // Arrays and records have no Boolean reading at all.
        return noBooleanReading();
    }
}

} // namespace

std::optional<DispatchStatus> toVariants(std::span<const AutomationValue> args, VariantArray &out)
{
    out.reserve(args.size());
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
        VARIANT item;
        VariantInit(&item);
        switch (arg->kind()) {
        case AutomationValue::Kind::Empty:
            break;
        case AutomationValue::Kind::Null:
            V_VT(&item) = VT_NULL;
            break;
        case AutomationValue::Kind::Boolean:
            V_VT(&item) = VT_BOOL;
            V_BOOL(&item) = arg->asBoolean() ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case AutomationValue::Kind::Integer:
            V_VT(&item) = VT_I2;
            V_I2(&item) = arg->asInteger();
            break;
        case AutomationValue::Kind::Long:
            V_VT(&item) = VT_I4;
            V_I4(&item) = arg->asLong();
            break;
        case AutomationValue::Kind::Double:
            V_VT(&item) = VT_R8;
            V_R8(&item) = arg->asDouble();
            break;
        case AutomationValue::Kind::String:
            // The BSTR is made before the VARIANT takes it, so a failed allocation leaks nothing.
            V_BSTR(&item) = UniqueBstr::fromUtf8(arg->asString()).release();
            V_VT(&item) = VT_BSTR;
            break;
        case AutomationValue::Kind::Error:
            V_VT(&item) = VT_ERROR;
            V_ERROR(&item) = arg->asError();
            break;
        case AutomationValue::Kind::IntegerByRef:
            // A control would write through a null pointer; refuse before it can.
            if (arg->asIntegerByRef() == nullptr)
                return statusFromHresult(DISP_E_TYPEMISMATCH);
            V_VT(&item) = VT_BYREF | VT_I2;
            V_I2REF(&item) = arg->asIntegerByRef();
            break;
        }
        out.push(item);
    }
    return std::nullopt;
}

AutomationValue fromVariant(const VARIANT &value)
{
    return fromVariantAt(value, 0);
}

namespace {

AutomationValue fromVariantAt(const VARIANT &value, int depth)
{
    if ((V_VT(&value) & VT_BYREF) == 0)
        return fromByValue(value, depth);
    VARIANT target;
    VariantInit(&target);
    if (!readThrough(value, target))
        return noBooleanReading();
    return fromByValue(target, depth); // owns nothing, so it is not cleared
}

} // namespace

} // namespace velmora
