#include "networker_p.h"

#include <QRunnable>

namespace {
constexpr int Threads = 4; // a join per radio, and the network names asked meanwhile

class Job : public QRunnable
{
public:
    explicit Job(std::function<void()> run) : work(std::move(run)) { }
    void run() override { work(); }

private:
    std::function<void()> work;
};
} // namespace

NetWorker::NetWorker()
{
    pool.setMaxThreadCount(Threads);
}

NetWorker::~NetWorker()
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        for (QQueue<std::function<void()>> &queue : queues)
            queue.clear();
    }
    pool.waitForDone();
}

void NetWorker::submit(const QString &key, std::function<void()> job)
{
    const std::lock_guard<std::mutex> guard(lock);
    const bool draining = queues.contains(key);
    queues[key].enqueue(std::move(job));
    if (!draining)
        pool.start(new Job([this, key] { drain(key); }));
}

void NetWorker::drain(const QString &key)
{
    for (;;) {
        std::function<void()> job;
        {
            const std::lock_guard<std::mutex> guard(lock);
            auto queue = queues.find(key);
            if (queue->isEmpty()) {
                queues.erase(queue);
                return;
            }
            job = queue->dequeue();
        }
        job();
    }
}
