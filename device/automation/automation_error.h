#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

// The one raised-error type: a numeric code and a description, as automation callers report
// them ("Run-time error '13': Type mismatch"). Nothing below the top level catches it.
class AutomationError final : public std::runtime_error {
public:
    AutomationError(int code, std::string description);

    int code() const noexcept { return m_code; }
    const std::string &description() const noexcept { return m_description; }

    // The standard errors the device layer raises itself.
    static AutomationError overflow();               // 6
    static AutomationError typeMismatch();           // 13
    static AutomationError invalidUseOfNull();       // 94
    static AutomationError objectDoesntSupport();    // 438
    static AutomationError wrongNumberOfArguments(); // 450
    // 51, for anything that is not an automation error: "Internal error", and what it said.
    static AutomationError internal(const char *what = nullptr);

private:
    int m_code;
    std::string m_description;
};

// The top-level report's line for standard error: "Velmora: Run-time error '57': ...", with
// the description on the same line.
std::string runtimeErrorLine(const AutomationError &error);

namespace error_code {
inline constexpr int Overflow = 6;
inline constexpr int TypeMismatch = 13;
inline constexpr int InternalError = 51; // anything that is not a card's or a control's own error
inline constexpr int DeviceIoError = 57;
inline constexpr int DeviceUnavailable = 68;
inline constexpr int PermissionDenied = 70;
inline constexpr int InvalidUseOfNull = 94;
inline constexpr int CannotCreateObject = 429;
inline constexpr int ObjectDoesntSupport = 438;
inline constexpr int ObjectDoesntSupportAction = 445;
inline constexpr int WrongNumberOfArguments = 450;
inline constexpr int UnsupportedAutomationType = 458;
} // namespace error_code

} // namespace velmora
