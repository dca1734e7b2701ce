#include "card_catalog.h"

#include "simulated_card.h"

namespace velmora {

bool sameCard(const CardInfo &a, const CardInfo &b)
{
    return a.name == b.name && a.location == b.location;
}

std::vector<CardOffer> SystemCardCatalog::offers()
{
    std::vector<CardOffer> offers;

    CardOffer simulated;
    SimulatedCard probe;
    simulated.info = probe.info();
    const DispatchStatus status = probe.open();
    probe.close();
    simulated.usable = !status.failed;
    simulated.status = status.failed ? status.description : "Ready";
    if (status.failed)
        simulated.fix = "run 'velmora-sim reset' to give it a fresh state file";
    simulated.make = [] {
        return std::make_unique<SimulatedCard>();
    };
    offers.push_back(std::move(simulated));
    return offers;
}

} // namespace velmora
