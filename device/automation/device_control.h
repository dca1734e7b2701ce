#pragma once

#include "automation/dispatch.h"

#include <cstdint>

namespace velmora {

// The window's view of its device control: three operations bound to dispatch identifiers.
// Every result is read as a Boolean at once; a failed call or a result without a Boolean
// reading raises an AutomationError.
class DeviceControl final {
public:
    explicit DeviceControl(Dispatch &control)
        : m_control(control)
    {}

    bool SelectDevice();
    bool ConfigurePorts(std::int32_t chip, std::int16_t controlWord);
    // Writes `value` in place, as the control chooses; the low byte carries the port's lines.
    bool ReadPort(std::int32_t port, std::int16_t &value);

private:
    bool call(DispatchId id, std::span<const AutomationValue> args);

    Dispatch &m_control;
};

} // namespace velmora
