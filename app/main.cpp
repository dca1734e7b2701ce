// Velmora: the sixteen input lines of a digital-input card, live.

#include "simulated/simulated_card.h"
#include "system_card_catalog.h"
#include "velmora_app.h"

#ifdef Q_OS_WIN
#include "ax_device_control_host.h"
#include "cards/card_control.h"
#include "com/com_card.h"
#include "com/com_dispatch.h"
#include "device_control_widget.h"
#endif

#include <cstdio>
#include <exception>
#include <memory>

int main(int argc, char *argv[])
{
    velmora::VelmoraApplication app(argc, argv);
    try {
        velmora::SystemCardCatalog catalog;
#ifdef Q_OS_WIN
        // COM before any control, and gone only after every control has been released.
        velmora::ComApartment apartment;
        // Where the card maker's control is installed, the window hosts it and calls it;
        // elsewhere our own control stands there, says so in its list and offers the
        // simulated card.
        return velmora::runMonitor(
            [&catalog](QWidget *container) -> velmora::DeviceControlHost * {
                const QString progId = QString::fromWCharArray(velmora::MakerControlProgId);
                velmora::DispatchStatus whyNot;
                if (auto *hosted = velmora::AxDeviceControlHost::create(progId, container, whyNot))
                    return hosted;
                // Not silently: the maker's control's row in the list says why.
                catalog.setHostFailure(std::move(whyNot));
                return new velmora::DeviceControlWidget(
                    std::make_unique<velmora::CardControl>(
                        std::make_unique<velmora::SimulatedCard>()),
                    container);
            },
            catalog);
#else
        return velmora::runMonitor(std::make_unique<velmora::SimulatedCard>(), catalog);
#endif
    } catch (const std::exception &error) {
        std::fprintf(stderr, "velmora: cannot start: %s\n", error.what());
        return 1;
    }
}
