#include "com/com_error.h"

#include "automation/automation_error.h"
#include "cards/card_error.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

namespace velmora {

namespace {

struct StandardError {
    int code;
    std::string_view text;
};

// The numbers a control or the automation layer commonly reports, with the words callers have
// always shown for them.
constexpr std::array StandardErrors{
    StandardError{5, "Invalid procedure call or argument"},
    StandardError{6, "Overflow"},
    StandardError{7, "Out of memory"},
    StandardError{9, "Subscript out of range"},
    StandardError{10, "This array is fixed or temporarily locked"},
    StandardError{11, "Division by zero"},
    StandardError{13, "Type mismatch"},
    StandardError{28, "Out of stack space"},
    StandardError{48, "Error in loading DLL"},
    StandardError{51, "Internal error"},
    StandardError{52, "Bad file name or number"},
    StandardError{53, "File not found"},
    StandardError{57, "Device I/O error"},
    StandardError{61, "Disk full"},
    StandardError{68, "Device unavailable"},
    StandardError{70, "Permission denied"},
    StandardError{75, "Path/File access error"},
    StandardError{76, "Path not found"},
    StandardError{91, "Object variable or With block variable not set"},
    StandardError{94, "Invalid use of Null"},
    StandardError{380, "Invalid property value"},
    StandardError{424, "Object required"},
    StandardError{429, "ActiveX component can't create object"},
    StandardError{430, "Class does not support Automation or does not support expected interface"},
    StandardError{438, "Object doesn't support this property or method"},
    StandardError{440, "Automation error"},
    StandardError{445, "Object doesn't support this action"},
    StandardError{446, "Object doesn't support named arguments"},
    StandardError{447, "Object doesn't support current locale setting"},
    StandardError{448, "Named argument not found"},
    StandardError{449, "Argument not optional"},
    StandardError{450, "Wrong number of arguments or invalid property assignment"},
    StandardError{458, "Variable uses an Automation type not supported"},
};

// What a number without standard words is reported as; it is the control's or the program's own.
constexpr std::string_view ApplicationDefined = "Application-defined or object-defined error";

struct HresultError {
    HRESULT hr;
    int code;
};

constexpr std::array HresultErrors{
    HresultError{DISP_E_MEMBERNOTFOUND, 438},
    HresultError{DISP_E_UNKNOWNNAME, 438},
    HresultError{DISP_E_TYPEMISMATCH, 13},
    HresultError{DISP_E_BADPARAMCOUNT, 450},
    HresultError{DISP_E_PARAMNOTFOUND, 448},
    HresultError{DISP_E_PARAMNOTOPTIONAL, 449},
    HresultError{DISP_E_NONAMEDARGS, 446},
    HresultError{DISP_E_UNKNOWNLCID, 447},
    HresultError{DISP_E_OVERFLOW, 6},
    HresultError{DISP_E_BADINDEX, 9},
    HresultError{DISP_E_ARRAYISLOCKED, 10},
    HresultError{DISP_E_DIVBYZERO, 11},
    HresultError{E_INVALIDARG, 5},
    HresultError{E_OUTOFMEMORY, 7},
    HresultError{E_NOINTERFACE, 430},
    HresultError{E_NOTIMPL, error_code::ObjectDoesntSupportAction},
    HresultError{DISP_E_BADVARTYPE, error_code::UnsupportedAutomationType},
    HresultError{REGDB_E_CLASSNOTREG, error_code::CannotCreateObject},
    HresultError{CO_E_CLASSSTRING, error_code::CannotCreateObject},
};

// 0x800Axxxx: an error of the control facility, which is how a control (or a runtime written in
// the automation tradition) passes a plain error number through an HRESULT.
constexpr std::uint32_t ControlFacilityMask = 0xFFFF0000u;
constexpr std::uint32_t ControlFacilityErrors = 0x800A0000u;

std::string withFallback(std::string_view own, int code)
{
    if (!own.empty())
        return std::string(own);
    const std::string_view standard = standardErrorText(code);
    return std::string(standard.empty() ? ApplicationDefined : standard);
}

} // namespace

std::string_view standardErrorText(int code)
{
    for (const StandardError &error : StandardErrors) {
        if (error.code == code)
            return error.text;
    }
    return {};
}

DispatchStatus statusFromHresult(HRESULT hr)
{
    for (const HresultError &error : HresultErrors) {
        if (error.hr == hr)
            return DispatchStatus::failure(error.code, std::string(standardErrorText(error.code)));
    }
    const auto bits = static_cast<std::uint32_t>(hr);
    if ((bits & ControlFacilityMask) == ControlFacilityErrors) {
        const int code = static_cast<int>(bits & 0xFFFFu);
        return DispatchStatus::failure(code, withFallback({}, code));
    }
    // A system error passed on as an HRESULT (E_ACCESSDENIED among them) is numbered as every
    // card's OS failures are where the user can act on it: refused or held by another program,
    // or not there. The system's words stay with it.
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
        const int code = cardErrorCode(std::error_code(HRESULT_CODE(hr), std::system_category()));
        if (code != error_code::DeviceIoError) {
            std::string description(standardErrorText(code));
            if (const std::string words = systemMessage(hr); !words.empty())
                description += " (" + words + ")";
            return DispatchStatus::failure(code, std::move(description));
        }
    }

    // Anything else keeps its HRESULT as the number, negative as callers have always shown it
    // (-2147467259 for 0x80004005), and says which it was in hex, the form to search for.
    std::array<char, 32> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%08X", static_cast<unsigned>(bits));
    std::string description = "Automation error ";
    description += hex.data();
    if (const std::string words = systemMessage(hr); !words.empty())
        description += ": " + words;
    return DispatchStatus::failure(static_cast<std::int32_t>(bits), std::move(description));
}

DispatchStatus creationFailure(HRESULT hr)
{
    DispatchStatus status = statusFromHresult(hr);
    // Refused access stays 70, so the user is told to look at permissions; a class that is not
    // registered has the standard words alone, as callers have always shown it.
    if (status.code == error_code::PermissionDenied ||
        status.code == error_code::CannotCreateObject)
        return status;
    std::array<char, 16> hex{};
    std::snprintf(hex.data(), hex.size(), "0x%08X", static_cast<unsigned>(hr));
    std::string description(standardErrorText(error_code::CannotCreateObject));
    const std::string words = systemMessage(hr);
    description +=
        ": " + (words.empty() ? std::string("Automation error") : words) + " (" + hex.data() + ")";
    return DispatchStatus::failure(error_code::CannotCreateObject, std::move(description));
}

DispatchStatus statusFromException(EXCEPINFO &info)
{
    if (info.pfnDeferredFillIn != nullptr) {
        // Its own failure leaves whatever it managed to fill in, which is still worth reading.
        info.pfnDeferredFillIn(&info);
        info.pfnDeferredFillIn = nullptr;
    }
    const std::string description = toUtf8(info.bstrDescription);
    if (info.wCode != 0)
        return DispatchStatus::failure(info.wCode, withFallback(description, info.wCode));

    // An scode of zero breaks the rule that one of the two is set; report the exception itself.
    DispatchStatus mapped = statusFromHresult(FAILED(info.scode) ? info.scode : DISP_E_EXCEPTION);
    if (!description.empty())
        mapped.description = description;
    return mapped;
}

} // namespace velmora
