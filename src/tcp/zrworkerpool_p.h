#ifndef ZRWORKERPOOL_P_H
#define ZRWORKERPOOL_P_H

#include "zrnet_global.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <QVector>

class QThread;
class ZRConnection;
class ZRConnectionTable;

// The threads that serve a server's connections, each taking one connection at a time, for
// as long as that connection has something to do. They outlive any one connection, so a new
// client costs no thread start, and they end after a while without work (at once when no
// accept loop runs). Part of the connection table, which each thread keeps alive, since threads
// serving requests the application holds may outlive the server; the table also deletes the
// objects of ended threads, as it does those of connections with threads of their own.
//
// Each thread has the lightweight event dispatcher of connection threads, for a slot that runs
// an event loop on it.
class ZRWorkerPool
{
public:
    explicit ZRWorkerPool(ZRConnectionTable &table) : m_table(table) { }
    // At most this many threads at once (at least 1).
    void setMaxThreads(int count);
    // Stack size of threads started from now on; 0: the system's default.
    void setStackSize(unsigned bytes);
    // While set, a few idle threads stay for the next clients; else idle ones end at once.
    void setKeepsThreads(bool on);
    // Hands the connection to an idle thread, else to a new one within the cap, else to the
    // first one that comes free.
    void push(ZRConnection *connection);
    // Connections wait for a thread, and no more may start: one that has nothing to do but
    // wait should give way.
    bool crowded() const;

    // The body of each thread.
    void work();

private:
    void startThread();
    void noteCrowding();
    bool waitForWork(std::unique_lock<std::mutex> &lock);

    ZRConnectionTable &m_table;

    mutable std::mutex m_mutex; // guards every member but m_queued
    std::condition_variable m_work;
    std::deque<ZRConnection *> m_queue;
    // Connections wait, and no more threads may start: for a look without the lock.
    std::atomic<bool> m_crowded { false };
    int m_threads = 0;
    int m_idle = 0; // waiting for work, woken or not
    int m_starting = 0; // started, not yet looking for work
    int m_maxThreads = 1024;
    unsigned m_stackSize = 0;
    bool m_keepsThreads = false;
};

#endif // ZRWORKERPOOL_P_H
