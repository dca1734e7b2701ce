#pragma once

// Between our automation values and COM's VARIANTs. Windows only.

#include "automation/automation_value.h"
#include "automation/dispatch.h"
#include "com/com_support.h"

#include <optional>
#include <span>

namespace velmora {

// U.S. English rather than the user's locale: where a control turns a result into text by the
// locale it is given, the text comes out in the form our Boolean reading (U.S. English rules)
// understands, on every machine alike.
inline constexpr LCID InvokeLocale = 0x0409;

// Fills `out` (already initialised) with the call's arguments, last one first, as
// DISPPARAMS::rgvarg wants them. A by-reference argument points at the caller's own variable.
// Fails, leaving nothing to call, on an argument no control could use.
std::optional<DispatchStatus> toVariants(std::span<const AutomationValue> args, VariantArray &out);

// A control's result as our value. Every numeric kind keeps its Boolean reading (zero or not);
// by-reference results are read through; an object is read through its default value
// (DISPID_VALUE), as the automation conversion does; arrays, objects without a default value
// and anything else become a value with no Boolean reading. Takes nothing over: the caller still
// clears `value`.
AutomationValue fromVariant(const VARIANT &value);

} // namespace velmora
