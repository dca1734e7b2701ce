#include "velmora_app.h"

#include "cards/card_catalog.h"
#include "cards/card_control.h"
#include "device_control_widget.h"
#include "device_selection_dialog.h"
#include "monitor.h"
#include "monitor_window.h"
#include "termination_signals.h"
#include "window_description.h"

#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

constexpr int InternalErrorCode = 51; // "Internal error", for anything that is not ours

QtMessageHandler previousHandler = nullptr;

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

QString runtimeErrorText(const AutomationError &error)
{
    return QStringLiteral("Run-time error '%1':\n\n%2")
        .arg(error.code())
        .arg(QString::fromStdString(error.description()));
}

std::string runtimeErrorLine(const AutomationError &error)
{
    std::string line = "Velmora: Run-time error '" + std::to_string(error.code()) + "': ";
    for (char c : error.description())
        line += (c == '\n' || c == '\r') ? ' ' : c;
    return line;
}

void reportRuntimeError(QWidget *window, const AutomationError &error)
{
    std::fprintf(stderr, "%s\n", runtimeErrorLine(error).c_str());
    std::fflush(stderr);
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Velmora"), runtimeErrorText(error),
                    QMessageBox::Ok, window);
    box.setObjectName(QStringLiteral("runtimeErrorReport"));
    box.exec();
}

VelmoraApplication::VelmoraApplication(int &argc, char **argv)
    : QApplication((installStartupHandler(), argc), argv)
{
    qInstallMessageHandler(previousHandler);
    setApplicationName(QStringLiteral("Velmora"));
    setApplicationDisplayName(QStringLiteral("Velmora"));
    setApplicationVersion(QStringLiteral("1.00"));
    setDesktopFileName(QStringLiteral("io.velmora.Velmora"));
}

bool VelmoraApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const AutomationError &error) {
        fail(error);
    } catch (const std::exception &error) {
        fail(AutomationError(InternalErrorCode, std::string("Internal error: ") + error.what()));
    } catch (...) {
        fail(AutomationError(InternalErrorCode, "Internal error"));
    }
    return true;
}

void VelmoraApplication::fail(const AutomationError &error)
{
    if (m_failing)
        return;
    m_failing = true;
    reportRuntimeError(activeWindow(), error);
    exit(1);
}

int runMonitor(std::unique_ptr<Card> initial, CardCatalog &catalog, TerminationSignals *endOn)
{
    auto control = std::make_unique<CardControl>(std::move(initial));
    return runMonitor(
        [&control](QWidget *container) {
            return new DeviceControlWidget(std::move(control), container);
        },
        catalog, endOn);
}

int runMonitor(const MonitorWindow::HostFactory &makeHost, CardCatalog &catalog,
               TerminationSignals *endOn)
{
    MonitorWindow window(velmoraWindow(), makeHost);
    CardControl *control = window.deviceControlHost().cardControl();
    DialogCardSelector selector(catalog, &window);
    if (control != nullptr)
        control->setSelector(&selector);

    Monitor monitor(window, [&window](const AutomationError &error) {
        window.setTimerEnabled(false);
        reportRuntimeError(&window, error);
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

} // namespace velmora
