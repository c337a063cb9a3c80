#ifndef ZRTLSSESSION_P_H
#define ZRTLSSESSION_P_H

#include <QDeadlineTimer>

#include <openssl/ssl.h>

#include <sys/types.h>

class ZRSendPace;
class ZRTlsContext;

// The server side of TLS over one connected, blocking socket, which stays the caller's to close.
// OpenSSL reaches the socket only through this object's reads and writes: reads never wait
// past the receive time (one limit for a whole record, however slowly its bytes come) and
// writes go out whole without SIGPIPE, with the same bounds on a slow peer as plain sends (the
// pace given, if any).
// The socket's own receive timeout must be the one given to setReceiveTimeout().
//
// Used by one thread at a time: the connection's, or the one answering while it waits.
class ZRTlsSession
{
public:
    ZRTlsSession(const ZRTlsContext &context, int socket, ZRSendPace *pace);
    ~ZRTlsSession();
    ZRTlsSession(const ZRTlsSession &) = delete;
    ZRTlsSession &operator=(const ZRTlsSession &) = delete;

    // The handshake, which must be over by the deadline; false when it fails or is not.
    bool handshake(QDeadlineTimer deadline);
    // As recv(): the number of bytes read, 0 once the peer has closed, -1 on a failure or when
    // the receive time ran out before a whole record came (errno EAGAIN then, as for a socket).
    ssize_t read(char *buffer, size_t size);
    // True once every byte has gone out.
    bool write(const char *data, qint64 size);
    // The receive time of each read from now on; 0 is none.
    void setReceiveTimeout(qint64 milliseconds);
    // Tells the peer that nothing more comes (close_notify), once, without waiting for its answer.
    void close();

private:
    static BIO_METHOD *socketMethod();
    static int bioRead(BIO *bio, char *buffer, int size);
    static int bioWrite(BIO *bio, const char *data, int size);
    static long bioControl(BIO *bio, int command, long number, void *pointer);
    bool failed(int result, const char *what);

    const int m_socket;
    ZRSendPace *const m_pace;
    SSL *const m_ssl;
    QDeadlineTimer m_readDeadline; // of the read under way
    qint64 m_receiveTimeoutMs = 0;
    bool m_blockingReceive = false; // the read under way has not received yet
    bool m_broken = false; // a fatal failure: no close_notify may follow
};

#endif // ZRTLSSESSION_P_H
