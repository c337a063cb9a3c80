#ifndef ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
#define ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H

// Ctrl-C and SIGTERM end the examples through the application's event loop, which runs on the
// main thread: the objects living there (a network controller's watch, handlers routed to the
// main thread, deferred deletions) work while the program serves.

#include <zrserver.h>
#include <zrsocket.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QString>

#include <csignal>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

// While it lives, SIGINT and SIGTERM quit the application's event loop. The two signals are
// blocked on this thread and on every thread it starts from then on, and read from a signal
// descriptor the loop watches: make it at the start of main(), before any thread starts.
class StopSignals
{
public:
    StopSignals() : m_descriptor(signalfd(-1, blocked(), SFD_CLOEXEC | SFD_NONBLOCK))
    {
        if (m_descriptor < 0)
            return;
        m_notifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier, [this] {
            signalfd_siginfo taken;
            while (::read(m_descriptor, &taken, sizeof taken) == ssize_t(sizeof taken)) { }
            QCoreApplication::quit();
        });
    }
    ~StopSignals()
    {
        delete m_notifier;
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

private:
    static const sigset_t *blocked()
    {
        static sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        return &stopSignals;
    }

    const int m_descriptor;
    QSocketNotifier *m_notifier = nullptr;
};

// Serves until Ctrl-C or SIGTERM: start() runs the accept loop on a thread of its own while
// this one runs the event loop. The server is stopped before this returns, so the caller may
// destroy it at once. `listening`, if given, is called with the port once the server listens
// (the one the system chose for port 0). The program's exit status: 0 after a stop, 1 when
// listening failed (the cause printed).
inline int serveUntilSignal(ZRServer &server, const QString &address, int port, int backlog,
    const std::function<void(quint16)> &listening = {})
{
    const StopSignals stopSignals;
    if (server.start(address, port, backlog) < 0) {
        std::fprintf(
            stderr, "%s: %s\n", qPrintable(server.errorText()), qPrintable(ZRSocket::lastError()));
        return 1;
    }
    if (listening)
        listening(server.serverPort());
    QCoreApplication::exec();
    server.stop();
    return 0;
}

#endif // ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
