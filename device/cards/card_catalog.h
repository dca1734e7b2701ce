#pragma once

#include "cards/card.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// One card the device control can reach, as the selection dialog lists it.
struct CardOffer {
    CardInfo info;
    bool usable = false; // false: `status` says why it cannot be opened
    std::string status;  // "Ready", or the reason, in the system's own words
    std::string fix;     // what the user can do about it, where that is known
    std::function<std::unique_ptr<Card>()> make; // a new, not yet opened card; only if usable
};

// Every card the machine offers, found anew on each call.
class CardCatalog {
public:
    virtual ~CardCatalog() = default;
    virtual std::vector<CardOffer> offers() = 0;

protected:
    CardCatalog() = default;
};

// Two cards are the same when they show the same name at the same place.
inline bool sameCard(const CardInfo &a, const CardInfo &b)
{
    return a.name == b.name && a.location == b.location;
}

} // namespace velmora
