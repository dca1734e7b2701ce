// Velmora: the sixteen input lines of a digital-input card, live.

#include "card_catalog.h"
#include "simulated_card.h"
#include "velmora_app.h"

#include <cstdio>
#include <exception>
#include <memory>

int main(int argc, char *argv[])
{
    velmora::VelmoraApplication app(argc, argv);
    try {
        velmora::SystemCardCatalog catalog;
        return velmora::runMonitor(std::make_unique<velmora::SimulatedCard>(), catalog);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "velmora: cannot start: %s\n", error.what());
        return 1;
    }
}
