#include "card_catalog.h"

#include "simulated_card.h"

#if VELMORA_WITH_COMEDI
#include "comedi_card.h"
#endif
#if VELMORA_WITH_GPIOD
#include "gpio_card.h"
#endif

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

    // Each real card kind scans on its own: a node that cannot be opened is a row that says
    // why, never the end of the list.
    const auto append = [&offers](std::vector<CardOffer> found) {
        for (CardOffer &offer : found)
            offers.push_back(std::move(offer));
    };
#if VELMORA_WITH_COMEDI
    append(findComediCards(systemComediApi()));
#endif
#if VELMORA_WITH_GPIOD
    append(findGpioCards(systemGpioApi()));
#endif
    (void)append;
    return offers;
}

} // namespace velmora
