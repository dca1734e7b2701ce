#pragma once

#include "cards/card_catalog.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::watch {

// The card --card names, by its name or its device node, as the selection dialog shows them.
// Throws CardPickError, naming the card and the fix, where no usable card answers to it.
std::unique_ptr<Card> pickCard(std::vector<CardOffer> offers, std::string_view nameOrNode);

class CardPickError final : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The selection dialog's rows as text: name, kind, place and status; under a card that cannot be
// opened, why and what to do. The `remembered` card is marked "(last used)".
std::string listCards(const std::vector<CardOffer> &offers, const CardInfo *remembered);

} // namespace velmora::watch
