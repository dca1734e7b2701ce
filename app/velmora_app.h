#pragma once

#include "automation/automation_error.h"
#include "monitor_window.h"

#include <QApplication>

#include <memory>
#include <optional>
#include <string>

namespace velmora {

class Card;
class CardCatalog;
class TerminationSignals;

// The report's text, in the form this kind of program has always shown:
// "Run-time error '13':", a blank line, and the description.
QString runtimeErrorText(const AutomationError &error);

// What the program prints for `--help` (or `-h`) and `--version`, whichever comes first among
// the arguments; none where neither does, and the program then ignores its arguments. Asked
// before the application object exists, so that these answer without a display.
std::optional<std::string> commandLineAnswer(int argc, const char *const *argv);

// The program's icon: the installed theme's, else the one built into the program.
QIcon velmoraIcon();

// The top-level report: one line on standard error and a modal box titled "Velmora". Returns
// true when the user has dismissed the box; false, showing nothing, when the run has already
// reported an error (runMonitor starts a run).
bool reportRuntimeError(QWidget *window, const AutomationError &error);

// Qt must never see an exception unwind through its event loop: whatever a slot lets escape is
// reported here and ends the program with status 1. Polling stops first, and one report at
// most is shown.
class VelmoraApplication final : public QApplication {
    Q_OBJECT

public:
    // Ends the process with status 2 and one clear line when no display can be opened, rather
    // than letting the platform plugin abort.
    VelmoraApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

private:
    void fail(const AutomationError &error);
};

// Creates the window with a device control driving `initial`, wires the handlers, shows it
// and runs the event loop until the program ends. Returns the exit status: 0 for "Exit",
// closing the window or a False selection, 1 after an error report, 128 + N after signal N of
// `endOn`, which ends the program as "Exit" does. The card is released on every way out.
int runMonitor(std::unique_ptr<Card> initial, CardCatalog &catalog,
               TerminationSignals *endOn = nullptr);
// The same with whatever `makeHost` puts at the device control's place; where that is the
// control we supply, it offers the catalog's cards in its selection dialog.
int runMonitor(const MonitorWindow::HostFactory &makeHost, CardCatalog &catalog,
               TerminationSignals *endOn = nullptr);

} // namespace velmora
