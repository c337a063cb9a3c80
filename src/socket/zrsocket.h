#ifndef ZRSOCKET_H
#define ZRSOCKET_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QString>

#include <netinet/in.h>

// Static helpers over plain IPv4 TCP socket descriptors.
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
    // Peer address and port; an empty address and port 0 when the query fails.
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
    static int acceptClientConnection(int socket, sockaddr_in &address);
    // address must be dotted IPv4 text; 0.0.0.0 listens on all interfaces.
    static int createServerSocket(QString address, int port, int backlog);
    // host is a name or dotted IPv4 text; waits at most 5 s for the connection.
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
