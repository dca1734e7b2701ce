#pragma once

#include <QObject>

class QSocketNotifier;

namespace velmora {

// SIGTERM, SIGINT and SIGHUP, turned into a Qt signal on the GUI thread, so that the program
// ends as closing its window ends it: the card released in order. The handler only writes the
// signal's number to a socket pair (all it may safely do); a QSocketNotifier reads it in the
// event loop. A second such signal while the first is being handled ends the program at once,
// by the signal's default action. Installed while the object lives; on Windows it does nothing.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // The first signal that arrived, or 0.
    int caught() const noexcept { return m_caught; }

    // Ends the process as `signal` would have ended it, had no handler been installed: the
    // convention that tells a parent (a shell, a service manager) how the program ended. Used
    // once everything is released.
    [[noreturn]] static void endAs(int signal);

signals:
    void received(int signal);

private:
    void readSignal();

    QSocketNotifier *m_notifier = nullptr;
    int m_caught = 0;
};

} // namespace velmora
