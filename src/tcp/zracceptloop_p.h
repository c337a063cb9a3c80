#ifndef ZRACCEPTLOOP_P_H
#define ZRACCEPTLOOP_P_H

#include "zrnet_global.h"

#include <QtGlobal>

#include <sys/epoll.h>

class ZRConnection;
class ZRConnectionTable;
class ZRServer;

// A server's accept loop, on the thread that runs listenConnections() (or start()'s own), until
// stop(). It waits in one poll set (epoll) for clients on the listening socket, for the
// server's wake-ups, and for the sockets of parked connections (see ZRConnectionTable): one
// whose socket is ready goes to a thread of the server's pool, one whose deadline comes is
// ended (a reply, whose pace its thread judges, goes to a thread too). It decides by a
// connection's phase alone.
//
// A connection is accepted only below the cap (ZRServer::setMaxConnections(), and the open-file
// limit). At the cap a waiting client makes a parked connection give way, where the server
// allows it; else the listening socket leaves the poll set until a connection ends, or one that
// may give way parks.
class ZRAcceptLoop
{
public:
    ZRAcceptLoop(ZRServer &server, int listening);
    ~ZRAcceptLoop();
    // False, with the reason in the server's errorText(), when the loop cannot run.
    bool prepare();
    void run();

private:
    enum Tag : quint64 { ListeningTag, WakeUpTag };

    bool watch(int socket, Tag tag);
    void wait();
    void handle(const epoll_event *events, int count);
    void acceptWaiting();
    void makeRoom();
    void admit(int socket);
    void setListening(bool on);
    void endExpired();
    void endParked();
    int cap() const;

    ZRServer &m_server;
    ZRConnectionTable &m_table;
    const int m_listening;
    const int m_pollSet;
    const int m_descriptorCeiling; // the connections the open-file limit leaves room for
    const int m_acceptFlags;
    bool m_listeningWatched = true;
    bool m_clientWaiting = false; // the listening socket was seen readable since the last accept
};

#endif // ZRACCEPTLOOP_P_H
