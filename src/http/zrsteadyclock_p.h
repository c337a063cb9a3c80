#ifndef ZRSTEADYCLOCK_P_H
#define ZRSTEADYCLOCK_P_H

#include <QElapsedTimer>

// Milliseconds since the first call: the default clock of what counts time out in the server.
inline qint64 zrSteadyMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return started.elapsed();
}

#endif // ZRSTEADYCLOCK_P_H
