#ifndef ZRSOCKET_H
#define ZRSOCKET_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QString>

#include <netinet/in.h>
#include <sys/socket.h>

// Static helpers over plain TCP socket descriptors, IPv4 and IPv6.
//
// Results: bool true on success; creating operations return a descriptor or -1.
// The two creating operations and the two option setters record the cause of a
// failure in a process-wide last-error record (text and negative code), read
// with lastError()/lastErrorNumber() right after the failing call. A success
// never clears the record; the most recent failure on any thread wins.
//
// Codes: -101 address reuse, -102 send buffer, -103 socket creation,
// -104 non-blocking switch, -105 blocking switch, -106 connection failed or
// refused, -107 connect timeout (5 s), -201 host not found, -301 bind or listen
// failed ("Bind failed: ..." / "Listen failed: ...").
//
// Every socket is created close-on-exec, and every send suppresses SIGPIPE.
class ZRNET_EXPORT ZRSocket
{
public:
    static QString _lastError;
    static int _lastErrorNumber;

    static QString lastError();
    static int lastErrorNumber();

    static void closeSocket(int socket);
    static bool setSocketReuse(int socket);
    static bool setSocketBuffer(int socket, int size);
    // Peer address and port; an empty address and port 0 when the query fails. An IPv4 peer
    // of a dual-stack socket reads as plain IPv4 ("127.0.0.1", not "::ffff:127.0.0.1").
    static void getSocketAddress(int socket, QString &address, int &port);
    static bool setSocketNonBlocking(int socket);
    static bool setSocketBlocking(int socket);
    static bool setSocketTimeout(int socket, int seconds);
    static bool setSocketNodelay(int socket, bool on);
    // A new malloc'ed cell holding socket; the caller frees it.
    static int *socketPointer(int socket);
    // Blocks until socket is readable (for a listening socket: a connection waits).
    // False at once for a closed or invalid descriptor, or a socket in error.
    static bool waitForConnection(int socket);
    static int acceptClientConnection(int socket);
    // For IPv4 peers only: an IPv6 peer does not fit, and leaves its family in address.
    static int acceptClientConnection(int socket, sockaddr_in &address);
    // Either family; an IPv4 peer of a dual-stack socket as a plain sockaddr_in.
    static int acceptClientConnection(int socket, sockaddr_storage &address);
    // address is numeric: dotted IPv4 or IPv6 text, with a zone for link-local
    // ("fe80::1%eth0"). 0.0.0.0 listens on every IPv4 address, "::" on every address of
    // both families. Anything else fails as a bind would ("Bind failed: ...").
    static int createServerSocket(QString address, int port, int backlog);
    // host is a name, IPv4 or IPv6 text. A name's addresses, of both families, are tried
    // in the resolver's order, all within one wait of at most 5 s.
    static int createRemoteSocket(QString host, int port);
    // Both send every byte (looping over partial sends) and are true only then. On a
    // non-blocking socket they wait for room at most 30 s in all, per call.
    static bool sendMessage(int socket, QString message);
    static bool sendByteArray(int socket, QByteArray data);
    static QString receiveMessage(int socket, int maxSize);
    // Never returns more than maxSize bytes.
    static QByteArray receiveByteArray(int socket, int maxSize);

private:
    ZRSocket() = delete;
    static void setLastError(int number, const QString &text);
    // The record and a debug line for a failed system call: text with %1 = its reason.
    static void setSystemError(int number, const char *text, int error);
};

#endif // ZRSOCKET_H
