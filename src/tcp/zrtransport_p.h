#ifndef ZRTRANSPORT_P_H
#define ZRTRANSPORT_P_H

#include "zrnet_global.h"

#include "zrtlssession_p.h"

#include <QByteArray>
#include <QtGlobal>

class ZRSendPace;

// What a connection reads from and writes to: the plain socket, or a session layered on it.
// Every byte a connection receives or sends goes through these two calls, so the code above
// never asks which transport it has. Timeouts are the socket's own (SO_RCVTIMEO, SO_SNDTIMEO),
// set by the connection; every write also keeps the connection's pace.
class ZRNET_AUTOTEST_EXPORT ZRTransport
{
public:
    explicit ZRTransport(ZRSendPace *pace) : m_pace(pace) { }
    virtual ~ZRTransport();
    // Up to size bytes, blocking: the count, 0 when the peer has ended, -1 on a failure or
    // when the receive timeout ran out (errno says which).
    virtual qint64 read(char *buffer, qint64 size) = 0;
    // Every byte, or false. With moreFollows the bytes may wait to leave with the next write's,
    // so that a reply's head and the start of its body share one segment (or TLS record); the
    // next write must follow.
    virtual bool write(const QByteArray &bytes, bool moreFollows) = 0;
    bool write(const QByteArray &bytes) { return write(bytes, false); }
    // The socket's receive timeout has just been set to this.
    virtual void readTimeoutChanged(qint64 milliseconds) { Q_UNUSED(milliseconds); }
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
    qint64 read(char *buffer, qint64 size) override;
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
    bool handshake(QDeadlineTimer deadline) { return m_session.handshake(deadline); }
    qint64 read(char *buffer, qint64 size) override;
    using ZRTransport::write;
    bool write(const QByteArray &bytes, bool moreFollows) override;
    void readTimeoutChanged(qint64 milliseconds) override;
    void close() override;

private:
    ZRTlsSession m_session;
    QByteArray m_held; // written with moreFollows: goes out in one record with the next write
};

#endif // ZRTRANSPORT_P_H
