#ifndef ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
#define ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H

// Serves until Ctrl-C or SIGTERM. listenConnections() blocks until stop() comes from another
// thread, so the accept loop gets a thread of its own and this one waits for the signal. The
// server is stopped and its loop joined before this returns, so the caller may destroy it
// at once. Call before the server starts any thread, so that all of them block the signals.

#include <zrserver.h>
#include <zrsocket.h>

#include <QString>

#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

// The program's exit status: 0 after a stop, 1 when listening failed (the cause printed).
inline int serveUntilSignal(ZRServer &server, const QString &address, int port, int backlog)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int result = 0;
    std::thread serving([&] {
        result = server.listenConnections(address, port, backlog);
        if (result < 0)
            kill(getpid(), SIGTERM); // nothing to serve: end the wait below
    });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    serving.join();
    if (result >= 0)
        return 0;
    std::fprintf(
        stderr, "%s: %s\n", qPrintable(server.errorText()), qPrintable(ZRSocket::lastError()));
    return 1;
}

#endif // ZRNET_EXAMPLES_SERVEUNTILSIGNAL_H
