#include <zrserver.h>
#include <zrsocket.h>

#include <cstdio>

int main()
{
    // A host text that cannot be an IPv4 address is refused before any bind.
    ZRServer server;
    const int result = server.listenConnections(QStringLiteral("not-an-address"), 0, 1);
    const bool ok = result == -1 && ZRSocket::lastErrorNumber() == -301;
    std::printf("consumer: listen %d, last error %d\n", result, ZRSocket::lastErrorNumber());
    return ok ? 0 : 1;
}
