#include "velmora_app.h"

#include "cards/card_catalog.h"
#include "cards/card_control.h"
#include "device_selection_dialog.h"
#include "monitor.h"
#include "monitor_window.h"
#include "termination_signals.h"
#include "window_description.h"

#include <QIcon>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velmora {

namespace {

QtMessageHandler previousHandler = nullptr;

// A run shows one report at most: an error behind the one on screen (a tick that was already
// queued, an exception from another event) would stack a second box over it, and the program
// ends with the first one anyway.
enum class Report { None, Showing, Shown };
Report reportState = Report::None;

const char *environmentValue(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : "unset";
}

// Active only while the application object is made: the platform plugin's complaints about a
// missing display become one line and exit status 2, instead of a page of text and an abort.
void startupMessageHandler(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr,
                     "velmora: cannot open a display (DISPLAY is %s, WAYLAND_DISPLAY is %s): "
                     "start Velmora from a graphical session\n",
                     environmentValue("DISPLAY"), environmentValue("WAYLAND_DISPLAY"));
        std::fflush(stderr);
        std::_Exit(2);
    }
    if (context.category != nullptr && std::strncmp(context.category, "qt.qpa", 6) == 0)
        return;
    previousHandler(type, context, message);
}

QtMessageHandler installStartupHandler()
{
    previousHandler = qInstallMessageHandler(startupMessageHandler);
    return previousHandler;
}

} // namespace

std::optional<std::string> commandLineAnswer(int argc, const char *const *argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            return "usage: velmora [--help | --version]\n"
                   "Shows the sixteen input lines of a digital-input card live.\n"
                   "\n"
                   "Press \"Select Device\" to pick the card, \"Initial\" to configure its ports\n"
                   "as inputs and start polling every 100 ms, \"Exit\" to end. Without a card\n"
                   "the built-in simulated card is shown; velmora-sim(1) drives its lines.\n"
                   "Other arguments are ignored, apart from Qt's own (-style, -platform, ...).\n"
                   "\n"
                   "Exit status: 0 after Exit, closing the window or choosing no card;\n"
                   "1 after an error report; 2 when no display can be opened.\n"
                   "See velmora(1).\n";
        }
        if (argument == "--version")
            return "velmora " VELMORA_VERSION "\n";
    }
    return std::nullopt;
}

QIcon velmoraIcon()
{
    QIcon builtIn;
    for (int size : {16, 32, 48, 64, 128, 256})
        builtIn.addFile(QStringLiteral(":/icons/io.velmora.Velmora-%1.png").arg(size),
                        QSize(size, size));
    return QIcon::fromTheme(QStringLiteral("io.velmora.Velmora"), builtIn);
}

QString runtimeErrorText(const AutomationError &error)
{
    return QStringLiteral("Run-time error '%1':\n\n%2")
        .arg(error.code())
        .arg(QString::fromStdString(error.description()));
}

bool reportRuntimeError(QWidget *window, const AutomationError &error)
{
    if (reportState != Report::None)
        return false;
    reportState = Report::Showing;
    std::fprintf(stderr, "%s\n", runtimeErrorLine(error).c_str());
    std::fflush(stderr);
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Velmora"), runtimeErrorText(error),
                    QMessageBox::Ok, window);
    box.setObjectName(QStringLiteral("runtimeErrorReport"));
    box.exec();
    reportState = Report::Shown;
    return true;
}

VelmoraApplication::VelmoraApplication(int &argc, char **argv)
    : QApplication((installStartupHandler(), argc), argv)
{
    qInstallMessageHandler(previousHandler);
    setApplicationName(QStringLiteral("Velmora"));
    setApplicationDisplayName(QStringLiteral("Velmora"));
    setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    setDesktopFileName(QStringLiteral("io.velmora.Velmora"));
    setWindowIcon(velmoraIcon());
}

bool VelmoraApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const AutomationError &error) {
        fail(error);
    } catch (const std::exception &error) {
        fail(AutomationError::internal(error.what()));
    } catch (...) {
        fail(AutomationError::internal());
    }
    return true;
}

void VelmoraApplication::fail(const AutomationError &error)
{
    // No tick may reach the card, nor fail again, while the report waits for the user.
    for (QWidget *widget : topLevelWidgets()) {
        if (auto *window = qobject_cast<MonitorWindow *>(widget))
            window->setTimerEnabled(false);
    }
    // Where another report is still on screen, that one ends the program when dismissed.
    if (reportRuntimeError(activeWindow(), error) || reportState == Report::Shown)
        exit(1);
}

namespace {

// Wires the handlers, shows `window` and runs the event loop until the program ends, or until
// one of the signals `endOn` watches for arrives.
int runWindow(MonitorWindow &window, CardCatalog &catalog, TerminationSignals *endOn)
{
    CardControl *control = window.deviceControlHost().cardControl();
    DialogCardSelector selector(catalog, &window);
    if (control != nullptr)
        control->setSelector(&selector);

    reportState = Report::None;
    Monitor monitor(window, [&window](const AutomationError &error) {
        window.setTimerEnabled(false);
        if (reportRuntimeError(&window, error))
            window.end(1);
    });
    monitor.route(velmoraWindow());
    if (endOn != nullptr) {
        // As "Exit" does, so that a dialog open at the time ends too; the card goes with the
        // window, as ever.
        QObject::connect(endOn, &TerminationSignals::received, &window,
                         [&window](int signal) { window.end(128 + signal); });
    }
    window.show();
    const int status = QApplication::exec();

    if (control != nullptr)
        control->setSelector(nullptr);
    return status; // the window goes next, and with it the control and its card
}

} // namespace

int runMonitor(std::unique_ptr<Card> initial, CardCatalog &catalog, TerminationSignals *endOn)
{
    MonitorWindow window(velmoraWindow(), std::make_unique<CardControl>(std::move(initial)));
    return runWindow(window, catalog, endOn);
}

int runMonitor(const MonitorWindow::HostFactory &makeHost, CardCatalog &catalog,
               TerminationSignals *endOn)
{
    MonitorWindow window(velmoraWindow(), makeHost);
    return runWindow(window, catalog, endOn);
}

} // namespace velmora
