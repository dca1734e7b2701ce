#include "termination_signals.h"

#include <QSocketNotifier>

#include <cstdlib>

#ifdef Q_OS_UNIX
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace velmora {

#ifdef Q_OS_UNIX

namespace {

constexpr std::array<int, 3> Handled{SIGTERM, SIGINT, SIGHUP};

// The write end belongs to the handler; -1 while no handler is installed.
std::atomic<int> signalWriteEnd{-1};
std::atomic<int> signalReadEnd{-1};
std::atomic<bool> signalPending{false};
std::array<struct sigaction, Handled.size()> previousActions{};

extern "C" void onTerminationSignal(int signal)
{
    // A second signal while the first is still being served: the user means it.
    if (signalPending.exchange(true)) {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    const int fd = signalWriteEnd.load();
    if (fd >= 0 && ::write(fd, &byte, 1) != 1) {
        // Nothing to be done in a handler; the socket has room for many more signals than come.
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return; // without it the signals keep their default action, which still ends the program
    ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    signalWriteEnd = pair[0];
    signalReadEnd = pair[1];
    signalPending = false;
    m_notifier = new QSocketNotifier(pair[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < Handled.size(); ++i)
        ::sigaction(Handled[i], &action, &previousActions[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (m_notifier == nullptr)
        return;
    for (std::size_t i = 0; i < Handled.size(); ++i)
        ::sigaction(Handled[i], &previousActions[i], nullptr);
    ::close(signalWriteEnd.exchange(-1));
    ::close(signalReadEnd.exchange(-1));
}

void TerminationSignals::readSignal()
{
    unsigned char byte = 0;
    if (::read(signalReadEnd.load(), &byte, 1) != 1)
        return;
    if (m_caught == 0)
        m_caught = byte;
    emit received(byte);
}

void TerminationSignals::endAs(int signal)
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    // Should the signal not end the process after all, the shell's way of saying the same.
    std::_Exit(128 + signal);
}

#else

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{}

TerminationSignals::~TerminationSignals() = default;

void TerminationSignals::readSignal() {}

void TerminationSignals::endAs(int signal)
{
    std::_Exit(128 + signal);
}

#endif

} // namespace velmora
