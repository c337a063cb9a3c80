#include "networker_p.h"

NetWorker::~NetWorker()
{
    std::list<Runner> ending;
    {
        const std::lock_guard<std::mutex> guard(lock);
        for (QQueue<std::function<void()>> &queue : queues)
            queue.clear();
        ending.splice(ending.end(), runners);
    }
    for (Runner &runner : ending)
        runner.thread.join();
}

void NetWorker::submit(const QString &key, std::function<void()> job)
{
    const std::lock_guard<std::mutex> guard(lock);
    reap();
    const bool draining = queues.contains(key);
    queues[key].enqueue(std::move(job));
    if (draining)
        return;
    runners.emplace_back();
    Runner *runner = &runners.back();
    runner->thread = std::thread([this, key, runner] { drain(key, runner); });
}

void NetWorker::drain(const QString &key, Runner *runner)
{
    for (;;) {
        std::function<void()> job;
        {
            const std::lock_guard<std::mutex> guard(lock);
            auto queue = queues.find(key);
            if (queue->isEmpty()) {
                queues.erase(queue);
                runner->done = true;
                return;
            }
            job = queue->dequeue();
        }
        job();
    }
}

void NetWorker::reap()
{
    for (auto runner = runners.begin(); runner != runners.end();) {
        if (!runner->done) {
            ++runner;
            continue;
        }
        runner->thread.join(); // it has left its loop, and only returns
        runner = runners.erase(runner);
    }
}
