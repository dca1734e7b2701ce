#pragma once

// How a failed COM call becomes the numbered error the program raises. Windows only.

#include "automation/dispatch.h"
#include "com/com_support.h"

#include <string_view>

namespace velmora {

// A failed HRESULT as automation callers number and word it: the dispatch and creation errors
// as their standard numbers (DISP_E_TYPEMISMATCH is 13 "Type mismatch", E_NOTIMPL 445,
// DISP_E_BADVARTYPE 458, a ProgID or class that is not registered 429 ...), a system error
// (FACILITY_WIN32) the way every card's OS failures are numbered where that is 70 or 68
// (E_ACCESSDENIED is 70 "Permission denied"), an HRESULT of a control's own facility (0x800Axxxx)
// as the number xxxx, and any other as the HRESULT read as a signed 32-bit number with "Automation
// error 0x80004005: " and the system's words for it.
DispatchStatus statusFromHresult(HRESULT hr);

// Why a control could not be created (CLSIDFromProgID, CoCreateInstance, CoGetClassObject):
// 429 "ActiveX component can't create object", followed by what statusFromHresult says of `hr`
// where that is more than a class that is not registered; refused access stays 70.
DispatchStatus creationFailure(HRESULT hr);

// DISP_E_EXCEPTION: the control's own report. Asks for the deferred details first where the
// control left them for later. The number is wCode where set, else what the scode maps to as
// above; the description is the control's own where it gave one. The strings stay in `info`
// for its owner to free.
DispatchStatus statusFromException(EXCEPINFO &info);

// The standard description of an error number; empty for a number without one.
std::string_view standardErrorText(int code);

} // namespace velmora
