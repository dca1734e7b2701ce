#pragma once

#include "cards/card.h"

#include <optional>
#include <string>

namespace velmora {

// Where the device control keeps the card the user chose last, for the next start.
class CardMemory {
public:
    virtual ~CardMemory() = default;
    // The card remembered, or none; throws std::runtime_error, naming the file and the fix,
    // where what is kept cannot be used.
    virtual std::optional<CardInfo> recall() const = 0;
    // Throws std::runtime_error, naming the file and the fix, where it cannot be kept.
    virtual void remember(const CardInfo &card) = 0;

protected:
    CardMemory() = default;
    CardMemory(const CardMemory &) = default;
    CardMemory &operator=(const CardMemory &) = default;
};

// Why the control drives the card it does, for its caption (`tag`, a few words) and tool tip
// (`detail`). Empty: nothing to say beyond the card's name.
struct CardOrigin {
    std::string tag;    // "last used", "last card gone"
    std::string detail; // the full story, with the fix where there is one
};

} // namespace velmora
