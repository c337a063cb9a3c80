#ifndef ZRNET_EXAMPLES_STOPONSIGNAL_H
#define ZRNET_EXAMPLES_STOPONSIGNAL_H

// Ctrl-C or SIGTERM stops a server. stop() must come from another thread than
// the one blocked in listenConnections(), so a small thread waits for the
// signal. Call before the server starts any thread, so all of them block it.

#include <pthread.h>
#include <csignal>
#include <thread>

template<typename Server>
void stopOnSignal(Server &server)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    }).detach();
}

#endif // ZRNET_EXAMPLES_STOPONSIGNAL_H
