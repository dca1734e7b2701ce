#pragma once

#include "cards/card_catalog.h"

namespace velmora {

// The cards this build can drive: the simulated card always, then the real ones found. The one
// place that knows every kind of card.
class SystemCardCatalog final : public CardCatalog {
public:
    std::vector<CardOffer> offers() override;
};

} // namespace velmora
