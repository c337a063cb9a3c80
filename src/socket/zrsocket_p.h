#ifndef ZRSOCKET_P_H
#define ZRSOCKET_P_H

#include <QtGlobal>

#include <poll.h>

namespace ZRSocketPrivate {

// Waits until socket shows one of events or timeoutMs runs out (-1: no limit),
// resuming after EINTR with the time left. Returns poll's revents, 0 on
// timeout, -1 on failure.
int waitFor(int socket, short events, int timeoutMs);

// One recv into buffer, resumed after EINTR: the byte count, 0 when the peer
// has closed, -1 on failure (errno tells).
qint64 receive(int socket, char *buffer, qint64 size);

// Whether a failed accept means the process or system is out of resources,
// so retrying at once would only spin.
bool isResourceShortage(int error);

// Receive and send timeouts with millisecond resolution; 0 means none.
bool setReceiveTimeout(int socket, qint64 milliseconds);
bool setSendTimeout(int socket, qint64 milliseconds);

} // namespace ZRSocketPrivate

#endif // ZRSOCKET_P_H
