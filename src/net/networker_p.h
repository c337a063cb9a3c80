#ifndef NETWORKER_P_H
#define NETWORKER_P_H

#include <QHash>
#include <QQueue>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <mutex>

// Runs jobs off the caller's thread: one at a time per key (an interface), in the order
// submitted, different keys side by side. Its threads end when idle for a while, so a worker
// that has nothing to do holds none. Destroying it drops the jobs still waiting and waits for
// those running.
class NetWorker
{
public:
    NetWorker();
    ~NetWorker();
    NetWorker(const NetWorker &) = delete;
    NetWorker &operator=(const NetWorker &) = delete;

    void submit(const QString &key, std::function<void()> job);

private:
    // Runs the jobs of `key` until none is left.
    void drain(const QString &key);

    QThreadPool pool;
    std::mutex lock; // guards queues
    // A key is here while a thread drains it, so a job submitted meanwhile joins that queue.
    QHash<QString, QQueue<std::function<void()>>> queues;
};

#endif // NETWORKER_P_H
