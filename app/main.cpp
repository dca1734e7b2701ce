// Velmora: the sixteen input lines of a digital-input card, live.

#include "cards/card_control.h"
#include "device_control_widget.h"
#include "remembered_card.h"
#include "simulated/simulated_card.h"
#include "system_card_catalog.h"
#include "termination_signals.h"
#include "velmora_app.h"

#ifdef Q_OS_WIN
#include "ax_device_control_host.h"
#include "com/com_card.h"
#include "com/com_dispatch.h"
#endif

#include <cstdio>
#include <exception>
#include <memory>

int main(int argc, char *argv[])
{
    if (const auto answer = velmora::commandLineAnswer(argc, argv)) {
        std::fputs(answer->c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    velmora::VelmoraApplication app(argc, argv);
    // SIGTERM, SIGINT and SIGHUP end the program as closing the window does; once the card is
    // released, the process ends by that signal after all, as its parent expects.
    velmora::TerminationSignals terminations;
    const int status = [&] {
        try {
            velmora::SystemCardCatalog catalog;
            // Our own control starts with the card chosen last time, where it is still there,
            // else with the simulated card; and remembers each card chosen.
            velmora::RememberedCardFile memory;
            const auto ownControl =
                [&catalog,
                 &memory](QWidget *container) -> std::unique_ptr<velmora::DeviceControlHost> {
                velmora::StartingCard start = velmora::startingCard(
                    catalog, &memory, [] { return std::make_unique<velmora::SimulatedCard>(); });
                auto control = std::make_unique<velmora::CardControl>(std::move(start.card));
                control->setMemory(&memory, std::move(start.origin));
                return std::make_unique<velmora::DeviceControlWidget>(std::move(control),
                                                                      container);
            };
#ifdef Q_OS_WIN
            // COM before any control, and gone only after every control has been released.
            velmora::ComApartment apartment;
            // Where the card maker's control is installed, the window hosts it and calls it;
            // elsewhere our own control stands there, says so in its list and offers the
            // simulated card.
            return velmora::runMonitor(
                [&catalog,
                 &ownControl](QWidget *container) -> std::unique_ptr<velmora::DeviceControlHost> {
                    const QString progId = QString::fromWCharArray(velmora::MakerControlProgId);
                    velmora::DispatchStatus whyNot;
                    if (auto hosted =
                            velmora::AxDeviceControlHost::create(progId, container, whyNot))
                        return hosted;
                    // Not silently: the maker's control's row in the list says why.
                    catalog.setHostFailure(std::move(whyNot));
                    return ownControl(container);
                },
                catalog, &terminations);
#else
            return velmora::runMonitor(ownControl, catalog, &terminations);
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
