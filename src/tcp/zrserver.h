#ifndef ZRSERVER_H
#define ZRSERVER_H

#include "zrnet_global.h"
#include "zrsocketthread.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

struct ZRServerConnections;

// A threaded TCP server on one IPv4 address and port.
//
// listenConnections() runs the accept loop on the calling thread and blocks it
// until stop() is called from another thread. Every accepted connection gets a
// ZRSocketThread of its own; its messages are re-emitted through this object's
// connectionThread signal on the connection's thread (see ZRSocketThread for
// the next()/stop() hand-over every receiver must follow). The objects of ended
// connections are released by the accept loop while it runs; connections still
// running when the loop ends are released by the application's main thread.
//
// A stopped server cannot listen again.
class ZRNET_EXPORT ZRServer : public QObject
{
    Q_OBJECT
public:
    ZRServer();
    ~ZRServer() override;

    // 0 after stop(); -1 when listening cannot start (the cause is in
    // ZRSocket::lastError() / lastErrorNumber(), and in errorText()).
    int listenConnections(QString address, int port, int backlog);
    // The listening descriptor: 0 when not listening, -1 after a failed start.
    int socket() const;
    // Ends the accept loop and returns once it has ended. Running connections
    // are not touched; each ends on its own.
    void stop();

    // Receive timeout given to every accepted socket (0, the default, is none):
    // a connection idle that long in recv ends as if the peer had closed.
    void setReceiveTimeout(int seconds);
    int receiveTimeout() const;
    QString errorText() const;

signals:
    void connectionThread(char *clientMessage, ZRSocketThread *thread);

private:
    friend class ZRHttpServer;
    void setReceiveTimeoutMs(int milliseconds);
    bool waitForClient(int socket);
    void startConnection(int socket, const QString &address);
    void setLoopDeletes(bool on);
    void deleteEndedConnections();

    std::atomic<bool> m_running { true }; // cleared once, by stop(), on any thread
    QMutex m_loopMutex; // held by the accept loop for its whole run
    std::atomic<int> m_listenSocket { 0 }; // shared by the loop and stop()
    QString m_errorText; // written by the listening thread only
    std::atomic<int> m_receiveTimeoutMs { 0 };
    const int m_wakeUp; // eventfd: stop() wakes the accept loop through it
    const std::shared_ptr<ZRServerConnections> m_connections;
};

#endif // ZRSERVER_H
