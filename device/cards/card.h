#pragma once

#include "automation/dispatch.h"

#include <cstdint>
#include <optional>
#include <string>

namespace velmora {

// How a card presents itself in the device list and in the control's caption.
struct CardInfo {
    std::string name;     // "Simulated card", "PCI-DIO24 (8255_pci) /dev/comedi0, subdevice 0"
    std::string kind;     // "simulated 8255", "comedi DIO", "GPIO chip"
    std::string location; // a device node, or "built in"
};

// One card the device control can drive. A card answers like a control: a Boolean result, or
// a failed status whose description names the card. It never throws.
class Card {
public:
    virtual ~Card() = default;

    virtual CardInfo info() const = 0;

    // Called once when the card becomes the control's current card, and before it is dropped;
    // close() releases whatever open() took, in order.
    virtual DispatchStatus open() { return DispatchStatus::success(); }
    virtual void close() noexcept {}

    virtual DispatchOutcome configurePorts(std::int32_t chip, std::int16_t controlWord) = 0;
    // Writes `value` only when it has a reading to deliver.
    virtual DispatchOutcome readPort(std::int32_t port, std::int16_t &value) = 0;

    // A card may answer SelectDevice itself instead of the selection dialog (the simulated
    // card's injected faults do).
    virtual std::optional<DispatchOutcome> answerSelect() { return std::nullopt; }

protected:
    Card() = default;
    Card(const Card &) = delete;
    Card &operator=(const Card &) = delete;
};

} // namespace velmora
