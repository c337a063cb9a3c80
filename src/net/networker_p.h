#ifndef NETWORKER_P_H
#define NETWORKER_P_H

#include <QHash>
#include <QQueue>
#include <QString>

#include <functional>
#include <list>
#include <mutex>
#include <thread>

// Runs jobs off the caller's thread: one at a time per key (an interface), in the order
// submitted, different keys side by side. A key's thread ends once its queue is empty, so a
// worker with nothing to do holds none. Destroying it drops the jobs still waiting and waits
// for those running. Plain threads and one mutex: every hand-over is one a race detector sees.
class NetWorker
{
public:
    NetWorker() = default;
    ~NetWorker();
    NetWorker(const NetWorker &) = delete;
    NetWorker &operator=(const NetWorker &) = delete;

    void submit(const QString &key, std::function<void()> job);

private:
    struct Runner
    {
        std::thread thread;
        bool done = false;
    };
    // Runs the jobs of `key` until none is left.
    void drain(const QString &key, Runner *runner);
    // Joins the runners that have ended; with the lock held.
    void reap();

    std::mutex lock; // guards queues and runners
    // A key is here while a runner drains it, so a job submitted meanwhile joins that queue.
    QHash<QString, QQueue<std::function<void()>>> queues;
    std::list<Runner> runners;
};

#endif // NETWORKER_P_H
