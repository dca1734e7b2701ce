#pragma once

#include "cards/card_catalog.h"

namespace velmora {

// The cards this build can drive: the simulated card always, then the real ones found. The one
// place that knows every kind of card.
class SystemCardCatalog final : public CardCatalog {
public:
    std::vector<CardOffer> offers() override;

    // Why the window could not host the card maker's control, for its row to say (Windows).
    void setHostFailure(DispatchStatus why) { m_hostFailure = std::move(why); }

private:
    DispatchStatus m_hostFailure;
};

} // namespace velmora
