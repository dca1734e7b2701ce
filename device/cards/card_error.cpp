#include "cards/card_error.h"

#include "automation/automation_error.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace velmora {

namespace {

int fromCondition(const std::error_condition &condition)
{
    if (condition == std::errc::permission_denied ||
        condition == std::errc::operation_not_permitted ||
        condition == std::errc::device_or_resource_busy || condition == std::errc::text_file_busy)
        return error_code::PermissionDenied;
    if (condition == std::errc::no_such_file_or_directory ||
        condition == std::errc::no_such_device || condition == std::errc::no_such_device_or_address)
        return error_code::DeviceUnavailable;
    return error_code::DeviceIoError;
}

#ifdef _WIN32
// The system error codes a device or file open gives on Windows, read as the POSIX conditions
// above; the C++ library does not map them on every toolchain.
int fromWindowsError(int error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return error_code::PermissionDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return error_code::DeviceUnavailable;
    default:
        return error_code::DeviceIoError;
    }
}
#endif

} // namespace

int cardErrorCode(std::error_code error)
{
    if (!error)
        return error_code::DeviceIoError; // a failure without a reason is still a failure
#ifdef _WIN32
    if (error.category() == std::system_category())
        return fromWindowsError(error.value());
#endif
    return fromCondition(error.default_error_condition());
}

std::string cardErrorDescription(const CardInfo &card, std::string_view reason,
                                 std::string_view fix)
{
    std::string text = card.name;
    if (!card.location.empty() && card.name.find(card.location) == std::string::npos)
        text += " at " + card.location;
    text += ": ";
    text += reason;
    if (!fix.empty()) {
        text += ". To fix: ";
        text += fix;
    }
    return text;
}

DispatchStatus cardFailure(const CardInfo &card, std::error_code error, std::string_view reason,
                           std::string_view fix)
{
    return DispatchStatus::failure(cardErrorCode(error), cardErrorDescription(card, reason, fix));
}

} // namespace velmora
