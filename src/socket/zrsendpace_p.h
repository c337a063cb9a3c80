#ifndef ZRSENDPACE_P_H
#define ZRSENDPACE_P_H

#include "zrnet_global.h"

#include <QMutex>
#include <QtGlobal>

// How fast the peer of a connection takes a reply, counted in the bytes its end has
// acknowledged, so that neither the size of the socket's buffer nor the moments the kernel
// wakes the sender blur it. Time runs in windows from the reply's start: each window must see
// some bytes taken, and from the end of the first on, at least the minimum rate on average.
// Only replies large enough to fill the socket's buffer are measured; a smaller one waits on
// the socket's send timeout alone, as any send does.
//
// The sending thread calls start(), keptUp() when a send call returns with bytes left to send
// (the socket's send timeout, one window, bounds each call) and stop(); any thread may ask
// stalled().
class ZRNET_AUTOTEST_EXPORT ZRSendPace
{
public:
    static constexpr qint64 MeasuredFrom = 64 * 1024; // bytes of a reply

    // A window of 0 sets no bound; a rate of 0 only asks for some bytes each window.
    void start(int socket, qint64 windowMs, qint64 minBytesPerSecond, qint64 replyBytes);
    void stop();
    // Whether the sending may go on, after a call that sent some bytes or whose send timeout
    // ran out (timedOut) before it could send any.
    bool keptUp(bool timedOut);
    // The peer has taken nothing for a whole window at least.
    bool stalled() const;

private:
    // The bytes the peer has acknowledged since the connection began; false where the socket
    // keeps no such count (not TCP).
    static bool acknowledged(int socket, quint64 *bytes);

    qint64 m_minRate = 0;
    bool m_firstWindow = true;
    mutable QMutex m_mutex; // the five below change together; the sending thread alone writes
    int m_socket = -1;
    qint64 m_windowMs = 0;
    qint64 m_windowStart = 0; // monotonic ms
    bool m_measured = false; // the reply is measured: m_takenAtStart is known
    quint64 m_takenAtStart = 0;
};

#endif // ZRSENDPACE_P_H
