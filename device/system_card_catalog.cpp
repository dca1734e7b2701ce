#include "system_card_catalog.h"

#include "automation/automation_error.h"
#include "simulated/simulated_card.h"

#ifdef _WIN32
#include "com/com_card.h"
#endif
#if VELMORA_WITH_COMEDI
#include "comedi/comedi_card.h"
#endif
#if VELMORA_WITH_GPIOD
#include "gpio/gpio_card.h"
#endif

#include <filesystem>

namespace velmora {

namespace {

CardOffer simulatedOffer()
{
    CardOffer simulated;
    std::filesystem::path path;
    DispatchStatus status;
    try {
        path = SimStateFile::defaultPath();
    } catch (const SimStateError &error) {
        // Only on Windows, where the folder for it may be unknown.
        status = DispatchStatus::failure(error_code::DeviceIoError,
                                         std::string("Simulated card: ") + error.what());
    }
    SimulatedCard probe{SimStateFile(path)};
    simulated.info = probe.info();
    if (!status.failed) {
        status = probe.open();
        probe.close();
    }
    simulated.usable = !status.failed;
    simulated.status = status.failed ? status.description : "Ready";
    if (status.failed)
        simulated.fix = "run 'velmora-sim reset' to give it a fresh state file";
    if (!path.empty()) {
        simulated.make = [path] {
            return std::make_unique<SimulatedCard>(SimStateFile(path));
        };
    }
    return simulated;
}

} // namespace

std::vector<CardOffer> SystemCardCatalog::offers()
{
    std::vector<CardOffer> offers;
#ifdef _WIN32
    // Where the card maker's software is installed, its control is the card to choose.
    offers.push_back(findComControl(MakerControlProgId, m_hostFailure));
#endif
    offers.push_back(simulatedOffer());

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
