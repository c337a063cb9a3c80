#ifndef ZRSERVER_P_H
#define ZRSERVER_P_H

#include "zrnet_global.h"

class QString;
class ZRServer;
class ZRSocketThread;

// Serves an already connected descriptor (one end of a socket pair, say) as the accept loop
// serves an accepted one, at once. Tests and fuzzers drive a whole server through it without a
// listening socket.
class ZRNET_AUTOTEST_EXPORT ZRServerHandover
{
public:
    // The connection's handle, or null when the connection could not be served (the
    // descriptor is closed then). The pointer is valid until the connection has ended; while
    // no accept loop runs and the connection has a thread of its own, until the calling thread
    // next carries out deferred deletions.
    static ZRSocketThread *startConnection(ZRServer &server, int socket, const QString &address);
};

#endif // ZRSERVER_P_H
