#ifndef ZRTRANSPORT_P_H
#define ZRTRANSPORT_P_H

#include "zrnet_global.h"

#include "zrtlssession_p.h"

#include <QByteArray>
#include <QtGlobal>

// What a connection reads from and writes to: the plain socket, or a session layered on it.
// Every byte a connection receives or sends goes through these two calls, so the code above
// never asks which transport it has. Timeouts are the socket's own (SO_RCVTIMEO, SO_SNDTIMEO),
// set by the connection.
class ZRNET_AUTOTEST_EXPORT ZRTransport
{
public:
    virtual ~ZRTransport();
    // Up to size bytes, blocking: the count, 0 when the peer has ended, -1 on a failure or
    // when the receive timeout ran out (errno says which).
    virtual qint64 read(char *buffer, qint64 size) = 0;
    // Every byte, or false.
    virtual bool write(const QByteArray &bytes) = 0;
    // The socket's receive timeout has just been set to this.
    virtual void readTimeoutChanged(qint64 milliseconds) { Q_UNUSED(milliseconds); }
    // Nothing more will be written: said before the socket is closed.
    virtual void close() { }
    // The socket, for a transport that puts bytes on it unchanged, so that a file can go out
    // with sendfile(); -1 when every byte must go through write().
    virtual int plainSocket() const { return -1; }
};

// The connected socket itself.
class ZRPlainTransport : public ZRTransport
{
public:
    explicit ZRPlainTransport(int socket) : m_socket(socket) { }
    qint64 read(char *buffer, qint64 size) override;
    bool write(const QByteArray &bytes) override;
    int plainSocket() const override { return m_socket; }

private:
    const int m_socket;
};

// TLS on the connected socket; its handshake comes before any read or write.
class ZRTlsTransport : public ZRTransport
{
public:
    ZRTlsTransport(const ZRTlsContext &context, int socket) : m_session(context, socket) { }
    bool handshake(QDeadlineTimer deadline) { return m_session.handshake(deadline); }
    qint64 read(char *buffer, qint64 size) override;
    bool write(const QByteArray &bytes) override;
    void readTimeoutChanged(qint64 milliseconds) override;
    void close() override;

private:
    ZRTlsSession m_session;
};

#endif // ZRTRANSPORT_P_H
