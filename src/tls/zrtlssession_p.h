#ifndef ZRTLSSESSION_P_H
#define ZRTLSSESSION_P_H

#include <QtGlobal>

#include <openssl/ssl.h>

#include <sys/types.h>

class ZRSendPace;
class ZRTlsContext;

// The server side of TLS over one connected socket, which stays the caller's to close. OpenSSL
// reaches the socket only through this object's reads and writes: reads never wait (the
// handshake and a read say so when the socket has nothing more for them, and go on from there
// when called again), and writes go out whole without SIGPIPE, with the same bounds on a slow
// peer as plain sends (the pace given, if any).
//
// Used by one thread at a time: the connection's, or the one answering while it waits.
class ZRTlsSession
{
public:
    ZRTlsSession(const ZRTlsContext &context, int socket, ZRSendPace *pace);
    ~ZRTlsSession();
    ZRTlsSession(const ZRTlsSession &) = delete;
    ZRTlsSession &operator=(const ZRTlsSession &) = delete;

    enum Progress { Done, WantsMore, Failed };
    // A step of the handshake: WantsMore until the client's next flight has come.
    Progress handshake();
    // As recv() on a non-blocking socket: the number of bytes read, 0 once the peer has closed,
    // -1 on a failure or when no whole record has come yet (errno EAGAIN then).
    ssize_t read(char *buffer, size_t size);
    // Bytes already taken off the socket that a read would return, or that make up a record.
    bool hasPending() const { return SSL_has_pending(m_ssl) == 1; }
    // True once every byte has gone out.
    bool write(const char *data, qint64 size);
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
    bool m_broken = false; // a fatal failure: no close_notify may follow
    bool m_closing = false; // the close_notify is sent without waiting
};

#endif // ZRTLSSESSION_P_H
