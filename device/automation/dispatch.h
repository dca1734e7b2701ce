#pragma once

#include "automation/automation_value.h"

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

using DispatchId = std::int32_t;

// The device control's three operations, by the identifiers its type library gives them.
namespace dispatch_id {
inline constexpr DispatchId SelectDevice = 25;
inline constexpr DispatchId ConfigurePorts = 17;
inline constexpr DispatchId ReadPort = 16;
} // namespace dispatch_id

// What a control answers to one call: success with a result, or a failure with the code and
// description it reports.
struct DispatchStatus {
    bool failed = false;
    int code = 0;
    std::string description;

    static DispatchStatus success() { return {}; }
    static DispatchStatus failure(int code, std::string description)
    {
        return {true, code, std::move(description)};
    }
};

struct DispatchOutcome {
    DispatchStatus status;
    AutomationValue result;

    static DispatchOutcome success(AutomationValue result)
    {
        return {DispatchStatus::success(), std::move(result)};
    }
    // The answer most operations give: True or False.
    static DispatchOutcome boolean(bool b) { return success(AutomationValue::boolean(b)); }
    static DispatchOutcome failure(int code, std::string description)
    {
        return {DispatchStatus::failure(code, std::move(description)), AutomationValue()};
    }
};

// Late-bound calls by dispatch identifier with positional arguments, in call order; the
// stand-in for IDispatch::Invoke. By-reference arguments point at the caller's variables and
// may be written during the call, never after it.
class Dispatch {
public:
    virtual ~Dispatch() = default;
    virtual DispatchOutcome invoke(DispatchId id, std::span<const AutomationValue> args) = 0;

protected:
    Dispatch() = default;
    Dispatch(const Dispatch &) = default;
    Dispatch &operator=(const Dispatch &) = default;
};

} // namespace velmora
