// Velmora: the sixteen input lines of a digital-input card, live.

#include "simulated/simulated_card.h"
#include "system_card_catalog.h"
#include "termination_signals.h"
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
    // SIGTERM, SIGINT and SIGHUP end the program as closing the window does; once the card is
    // released, the process ends by that signal after all, as its parent expects.
    velmora::TerminationSignals terminations;
    const int status = [&] {
        try {
            velmora::SystemCardCatalog catalog;
#ifdef Q_OS_WIN
            // COM before any control, and gone only after every control has been released.
            velmora::ComApartment apartment;
            // Where the card maker's control is installed, the window hosts it and calls it;
            // elsewhere our own control stands there, says so in its list and offers the
            // simulated card.
            return velmora::runMonitor(
                [](QWidget *container) -> velmora::DeviceControlHost * {
                    const QString progId = QString::fromWCharArray(velmora::MakerControlProgId);
                    if (auto *hosted = velmora::AxDeviceControlHost::create(progId, container))
                        return hosted;
                    return new velmora::DeviceControlWidget(
                        std::make_unique<velmora::CardControl>(
                            std::make_unique<velmora::SimulatedCard>()),
                        container);
                },
                catalog, &terminations);
#else
            return velmora::runMonitor(std::make_unique<velmora::SimulatedCard>(), catalog,
                                       &terminations);
#endif
        } catch (const std::exception &error) {
            std::fprintf(stderr, "velmora: cannot start: %s\n", error.what());
            return 1;
        }
    }();
    if (terminations.caught() != 0)
        velmora::TerminationSignals::endAs(terminations.caught());
    return status;
}
