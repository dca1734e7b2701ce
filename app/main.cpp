// Velmora: the sixteen input lines of a digital-input card, live.

#include "automation_error.h"
#include "card_control.h"
#include "monitor.h"
#include "monitor_window.h"
#include "simulated_card.h"
#include "window_description.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

namespace {

using velmora::AutomationError;

// The report every uncaught error gets: the form this kind of program has always shown.
void reportAndEnd(QWidget *window, const AutomationError &error)
{
    const QString description = QString::fromStdString(error.description());
    std::fprintf(stderr, "Velmora: Run-time error '%d': %s\n", error.code(),
                 description.toLocal8Bit().constData());
    std::fflush(stderr);
    QMessageBox::critical(
        window, QStringLiteral("Velmora"),
        QStringLiteral("Run-time error '%1':\n\n%2").arg(error.code()).arg(description));
    QCoreApplication::exit(1);
}

// Qt must never see an exception unwind through its event loop: whatever a slot lets escape
// is reported here and ends the program.
class VelmoraApplication final : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject *receiver, QEvent *event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const AutomationError &error) {
            fail(error);
        } catch (const std::exception &error) {
            fail(AutomationError(51, std::string("Internal error: ") + error.what()));
        } catch (...) {
            fail(AutomationError(51, "Internal error"));
        }
        return true;
    }

private:
    void fail(const AutomationError &error)
    {
        if (m_failing)
            return;
        m_failing = true;
        reportAndEnd(activeWindow(), error);
    }

    bool m_failing = false;
};

} // namespace

int main(int argc, char *argv[])
{
    VelmoraApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));

    try {
        auto control =
            std::make_unique<velmora::CardControl>(std::make_unique<velmora::SimulatedCard>());
        velmora::MonitorWindow window(velmora::velmoraWindow(), std::move(control));
        velmora::Monitor monitor(window, [&window](const AutomationError &error) {
            window.setTimerEnabled(false);
            reportAndEnd(&window, error);
        });
        monitor.route(velmora::velmoraWindow());
        window.show();
        return QApplication::exec();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "Velmora: cannot start: %s\n", error.what());
        return 1;
    }
}
