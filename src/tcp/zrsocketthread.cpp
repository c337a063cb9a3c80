#include "zrsocketthread.h"
#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrlogging_p.h"
#include "zrsocket.h"
#include "zrsocket_p.h"
#include "zrthreaddispatcher_p.h"

#include <QMetaMethod>

ZRSocketThread::ZRSocketThread(int socket, QString address)
    : ZRSocketThread(socket, address, nullptr)
{
    setEventDispatcher(new ZRThreadDispatcher);
    // Deleting from finished() (never from inside run()) guarantees the
    // creating thread cannot destroy a QThread that is still running.
    connect(this, &QThread::finished, this, &QObject::deleteLater, Qt::DirectConnection);
}

ZRSocketThread::ZRSocketThread(int socket, QString address, ZRConnection *connection)
    : m_socket(socket), m_address(address), m_connection(connection)
{
    // char* is no built-in meta-type; without this a queued receiver of
    // connectionThread could not be called.
    static const int charPointerType = qRegisterMetaType<char *>("char*");
    Q_UNUSED(charPointerType);
}

ZRSocketThread::~ZRSocketThread()
{
    if (m_deletesConnection)
        delete m_connection;
}

int ZRSocketThread::clientSocket() const
{
    return m_socket;
}

QString ZRSocketThread::remoteAddress() const
{
    return m_address;
}

int ZRSocketThread::messageSize() const
{
    return m_messageSize;
}

void ZRSocketThread::next()
{
    if (!m_connection || m_connection->answer())
        m_pacing.release();
}

void ZRSocketThread::stop()
{
    m_running = false;
    next();
}

bool ZRSocketThread::messagesHeard() const
{
    static const QMetaMethod signal = QMetaMethod::fromSignal(&ZRSocketThread::connectionThread);
    return isSignalConnected(signal);
}

ZRSocketThread::Handed ZRSocketThread::handOver(char *message, int size, bool toAll, bool mayLetGo)
{
    message[size] = '\0';
    m_messageSize = size;
    // A server's connection hands the message to the server first, as if its signal were
    // connected to the server's before any other.
    bool lent = false;
    if (m_connection)
        lent = m_connection->table().relay(*m_connection, message, size);
    if (toAll) {
        lent = lent || messagesHeard();
        emit connectionThread(message, this);
    }
    // Bytes lent out live in this thread's buffer: it waits while they may be read.
    if (mayLetGo && !lent && m_connection->letGo())
        return LetGo;
    m_pacing.acquire();
    if (m_connection)
        m_connection->answerTaken();
    return m_running ? Going : Stopped;
}

void ZRSocketThread::announceEnd()
{
    static const QMetaMethod finishedSignal = QMetaMethod::fromSignal(&QThread::finished);
    if (isSignalConnected(finishedSignal))
        finishedSignal.invoke(this, Qt::DirectConnection);
}

void ZRSocketThread::run()
{
    if (m_connection && !m_connection->servesItself()) {
        ZRWorker worker;
        m_connection->serve(worker);
        return;
    }
    receiveLoop();
}

void ZRSocketThread::receiveLoop()
{
    char buffer[MessageCapacity + 1];
    while (m_running) {
        qCDebug(lcTcp, "Doing recv...");
        const qint64 n = ZRSocketPrivate::recvRetrying(m_socket, buffer, MessageCapacity, 0);
        qCDebug(lcTcp, "Done recv. Readsize: %d", int(n));
        if (n <= 0) {
            qCDebug(lcTcp, "readsize = 0. Exiting");
            break;
        }
        if (handOver(buffer, int(n)) != Going)
            break;
    }
    m_running = false;
    qCDebug(lcTcp, "Exiting thread. Shutting down socket...");
    if (m_connection)
        m_connection->release(); // the socket goes with it
    else
        ZRSocket::closeSocket(m_socket);
}
