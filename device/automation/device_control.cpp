#include "automation/device_control.h"

#include "automation/automation_error.h"

#include <array>

namespace velmora {

bool DeviceControl::call(DispatchId id, std::span<const AutomationValue> args)
{
    DispatchOutcome outcome = m_control.invoke(id, args);
    if (outcome.status.failed)
        throw AutomationError(outcome.status.code, std::move(outcome.status.description));
    return toBoolean(outcome.result);
}

bool DeviceControl::SelectDevice()
{
    return call(dispatch_id::SelectDevice, {});
}

bool DeviceControl::ConfigurePorts(std::int32_t chip, std::int16_t controlWord)
{
    const std::array args{AutomationValue::longInteger(chip),
                          AutomationValue::integer(controlWord)};
    return call(dispatch_id::ConfigurePorts, args);
}

bool DeviceControl::ReadPort(std::int32_t port, std::int16_t &value)
{
    const std::array args{AutomationValue::longInteger(port),
                          AutomationValue::integerByRef(&value)};
    return call(dispatch_id::ReadPort, args);
}

} // namespace velmora
