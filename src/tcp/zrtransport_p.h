#ifndef ZRTRANSPORT_P_H
#define ZRTRANSPORT_P_H

#include "zrnet_global.h"

#include "zrtlssession_p.h"

#include <QByteArray>
#include <QtGlobal>

class ZRSendPace;

// What a connection reads from and writes to: the plain socket, or a session layered on it.
// Every byte a connection receives or sends goes through these two calls, so the code above
// never asks which transport it has (but for a file sent straight from the file, see
// plainSocket()). A read does not wait (but for the short while asked for, where the transport
// can: the socket's receive timeout, set to the grace of a server's threads); the connection
// waits for the socket as its own deadline allows. A write waits until every byte has gone,
// bounded by the connection's pace.
class ZRNET_AUTOTEST_EXPORT ZRTransport
{
public:
    explicit ZRTransport(ZRSendPace *pace) : m_pace(pace) { }
    virtual ~ZRTransport();
    // Up to size bytes, without waiting (or, briefly, for at most the socket's receive timeout
    // where the transport reads the socket itself): the count, 0 when the peer has ended, -1
    // on a failure or when nothing can be read yet (errno EAGAIN).
    virtual qint64 read(char *buffer, qint64 size, bool briefly = false) = 0;
    // Whether read() waits when asked to wait briefly.
    virtual bool waitsBriefly() const { return false; }
    // Bytes the transport holds already: a read may have something without the socket's help.
    virtual bool hasPending() const { return false; }
    // Every byte, or false. With moreFollows the bytes may wait to leave with the next write's,
    // so that a reply's head and the start of its body share one segment (or TLS record); the
    // next write must follow.
    virtual bool write(const QByteArray &bytes, bool moreFollows) = 0;
    bool write(const QByteArray &bytes) { return write(bytes, false); }
    // Nothing more will be written: said before the socket is closed.
    virtual void close() { }
    // The socket, for a transport that puts bytes on it unchanged, so that a file can go out
    // with sendfile() (keeping pace()); -1 when every byte must go through write().
    virtual int plainSocket() const { return -1; }
    ZRSendPace *pace() const { return m_pace; }

private:
    ZRSendPace *const m_pace; // the connection's; may be null
};

// The connected socket itself.
class ZRPlainTransport : public ZRTransport
{
public:
    ZRPlainTransport(int socket, ZRSendPace *pace) : ZRTransport(pace), m_socket(socket) { }
    qint64 read(char *buffer, qint64 size, bool briefly = false) override;
    bool waitsBriefly() const override { return true; }
    using ZRTransport::write;
    bool write(const QByteArray &bytes, bool moreFollows) override;
    int plainSocket() const override { return m_socket; }

private:
    const int m_socket;
};

// TLS on the connected socket; its handshake comes before any read or write.
class ZRTlsTransport : public ZRTransport
{
public:
    ZRTlsTransport(const ZRTlsContext &context, int socket, ZRSendPace *pace)
        : ZRTransport(pace), m_session(context, socket, pace)
    { }
    // A step of the handshake, taken whenever the socket has more of it.
    ZRTlsSession::Progress handshake() { return m_session.handshake(); }
    qint64 read(char *buffer, qint64 size, bool briefly = false) override;
    bool hasPending() const override { return m_session.hasPending(); }
    using ZRTransport::write;
    bool write(const QByteArray &bytes, bool moreFollows) override;
    void close() override;

private:
    ZRTlsSession m_session;
    QByteArray m_held; // written with moreFollows: goes out in one record with the next write
};

#endif // ZRTRANSPORT_P_H
