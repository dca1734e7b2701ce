#include "automation/automation_error.h"

#include <utility>

namespace velmora {

AutomationError::AutomationError(int code, std::string description)
    : std::runtime_error("Run-time error '" + std::to_string(code) + "': " + description)
    , m_code(code)
    , m_description(std::move(description))
{}

AutomationError AutomationError::overflow()
{
    return {error_code::Overflow, "Overflow"};
}

AutomationError AutomationError::typeMismatch()
{
    return {error_code::TypeMismatch, "Type mismatch"};
}

AutomationError AutomationError::invalidUseOfNull()
{
    return {error_code::InvalidUseOfNull, "Invalid use of Null"};
}

AutomationError AutomationError::objectDoesntSupport()
{
    return {error_code::ObjectDoesntSupport, "Object doesn't support this property or method"};
}

AutomationError AutomationError::wrongNumberOfArguments()
{
    return {error_code::WrongNumberOfArguments,
            "Wrong number of arguments or invalid property assignment"};
}

AutomationError AutomationError::internal(const char *what)
{
    std::string description = "Internal error";
    if (what != nullptr)
        description += std::string(": ") + what;
    return {error_code::InternalError, std::move(description)};
}

std::string runtimeErrorLine(const AutomationError &error)
{
    std::string line = "Velmora: Run-time error '" + std::to_string(error.code()) + "': ";
    for (char c : error.description())
        line += (c == '\n' || c == '\r') ? ' ' : c;
    return line;
}

} // namespace velmora
