#ifndef ZRSENDPACE_P_H
#define ZRSENDPACE_P_H

#include "zrnet_global.h"

#include <QtGlobal>

// How fast the peer of a connection takes a reply, counted in the bytes its end has
// acknowledged, so that neither the size of the socket's buffer nor the moments the kernel
// wakes the sender blur it. Time runs in windows from the reply's start: each window must see
// some bytes taken, and from the end of the first on, at least the minimum rate on average.
// Only replies large enough to fill the socket's buffer are measured; for a smaller one a window
// starts whenever the sender has to wait, from its last progress, so it fails only when a whole
// window passes without the socket taking any bytes. A reply that never waits costs no look at
// the clock.
//
// The pace is the sending side's alone: whoever sends the reply calls start(), moved() when the
// socket took bytes, waiting() when it takes no more for now, keptUp() once deadline() has
// come, and stop(); a connection waiting for its socket reads deadline() to know when to look
// again.
class ZRNET_AUTOTEST_EXPORT ZRSendPace
{
public:
    static constexpr qint64 MeasuredFrom = 64 * 1024; // bytes of a reply

    // A window of 0 sets no bound; a rate of 0 only asks for some bytes each window.
    void start(int socket, qint64 windowMs, qint64 minBytesPerSecond, qint64 replyBytes);
    void stop() { m_windowMs = 0; }
    void moved() { m_moved = true; }
    void waiting();
    // When the current window ends (monotonic ms); -1 when nothing bounds the reply (yet).
    qint64 deadline() const
    {
        return m_windowMs > 0 && m_windowStart >= 0 ? m_windowStart + m_windowMs : -1;
    }
    bool due() const;
    // At or after the deadline: whether the sending may go on (in a new window).
    bool keptUp();

private:
    // The bytes the peer has acknowledged since the connection began; false where the socket
    // keeps no such count (not TCP).
    static bool acknowledged(int socket, quint64 *bytes);

    int m_socket = -1;
    qint64 m_minRate = 0;
    qint64 m_windowMs = 0;
    qint64 m_windowStart = -1; // monotonic ms; -1 until an unmeasured reply first waits
    quint64 m_takenAtStart = 0;
    bool m_measured = false; // m_takenAtStart is known
    bool m_moved = false; // the socket took bytes since the window began
    bool m_firstWindow = true;
};

#endif // ZRSENDPACE_P_H
