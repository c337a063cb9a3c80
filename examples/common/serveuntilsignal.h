#ifndef ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
#define ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H

// Serves until Ctrl-C or SIGTERM: start() runs the accept loop on a thread of its own while
// this one waits for the signal. The server is stopped before this returns, so the caller may
// destroy it at once. Call it before the server has started any thread, so that all of them
// block the two signals and only the wait here takes them. `listening`, if given, is called
// with the port once the server listens (the one the system chose for port 0).

#include <zrserver.h>
#include <zrsocket.h>

#include <QString>

#include <csignal>
#include <cstdio>
#include <functional>
#include <pthread.h>

// Blocks the two signals on this thread and those it starts from now on; call it before other
// servers start, to serve those until the signal too.
inline sigset_t blockStopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// The program's exit status: 0 after a stop, 1 when listening failed (the cause printed).
inline int serveUntilSignal(ZRServer &server, const QString &address, int port, int backlog,
    const std::function<void(quint16)> &listening = {})
{
    sigset_t stopSignals = blockStopSignals();
    if (server.start(address, port, backlog) < 0) {
        std::fprintf(
            stderr, "%s: %s\n", qPrintable(server.errorText()), qPrintable(ZRSocket::lastError()));
        return 1;
    }
    if (listening)
        listening(server.serverPort());
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}

#endif // ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
