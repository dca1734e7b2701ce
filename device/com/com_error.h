#pragma once

// How a failed COM call becomes the numbered error the program raises. Windows only.

#include "automation/dispatch.h"
#include "com/com_support.h"

#include <string_view>

namespace velmora {

// A failed HRESULT as automation callers number and word it: the dispatch and creation errors
// as their standard numbers (DISP_E_TYPEMISMATCH is 13 "Type mismatch", a ProgID or class that
// is not registered 429 ...), an HRESULT of a control's own facility (0x800Axxxx) as the number
// xxxx, and any other as the HRESULT read as a signed 32-bit number with "Automation error
// 0x80004005: " and the system's words for it.
DispatchStatus statusFromHresult(HRESULT hr);

// DISP_E_EXCEPTION: the control's own report. Asks for the deferred details first where the
// control left them for later. The number is wCode where set, else what the scode maps to as
// above; the description is the control's own where it gave one. The strings stay in `info`
// for its owner to free.
DispatchStatus statusFromException(EXCEPINFO &info);

// The standard description of an error number; empty for a number without one.
std::string_view standardErrorText(int code);

} // namespace velmora
