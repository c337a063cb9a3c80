#ifndef ZRNET_BENCH_LOOPBACKCLIENT_H
#define ZRNET_BENCH_LOOPBACKCLIENT_H

// A plain blocking client socket to 127.0.0.1, for the benchmarks' clients.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtGlobal>

// The connected descriptor, or -1. A receiveBuffer above 0 sets SO_RCVBUF before the connect,
// which bounds the window the server may fill.
inline int connectTo(int port, int receiveBuffer = 0)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (receiveBuffer > 0)
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

#endif // ZRNET_BENCH_LOOPBACKCLIENT_H
