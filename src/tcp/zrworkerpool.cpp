#include "zrconnection_p.h"
#include "zrconnectiontable_p.h"
#include "zrsocket_p.h"
#include "zrthreaddispatcher_p.h"
#include "zrworkerpool_p.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>

namespace {

// An idle thread ends after this long without work, unless it is one of the few kept.
constexpr auto IdleLife = std::chrono::seconds(2);
constexpr int KeptThreads = 2;

// A thread of the pool; it keeps the table, and so the pool, alive while it runs.
class ZRWorkerThread : public QThread
{
public:
    explicit ZRWorkerThread(std::shared_ptr<ZRConnectionTable> table)
        : m_table(std::move(table)) { }

protected:
    void run() override
    {
        const std::shared_ptr<ZRConnectionTable> table = std::move(m_table);
        table->pool().work();
    }

private:
    std::shared_ptr<ZRConnectionTable> m_table;
};

} // namespace

void ZRWorkerPool::setMaxThreads(int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_maxThreads = qMax(1, count);
}

void ZRWorkerPool::setStackSize(unsigned bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stackSize = bytes;
}

void ZRWorkerPool::setKeepsThreads(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_keepsThreads = on;
    if (!on)
        m_work.notify_all();
}

bool ZRWorkerPool::crowded() const
{
    return m_crowded.load(std::memory_order_relaxed);
}

// Under the lock, whenever the queue or the number of threads changes.
void ZRWorkerPool::noteCrowding()
{
    m_crowded.store(!m_queue.empty() && m_threads >= m_maxThreads, std::memory_order_relaxed);
}

void ZRWorkerPool::push(ZRConnection *connection)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.push_back(connection);
    noteCrowding();
    // Each connection queued needs a thread of its own: one idle or starting that no connection
    // queued before has claimed, else a new one.
    if (int(m_queue.size()) <= m_idle + m_starting) {
        m_work.notify_one();
        return;
    }
    if (m_threads >= m_maxThreads)
        return;
    ++m_threads;
    ++m_starting;
    lock.unlock();
    startThread();
}

// A thread that cannot be started leaves its connection to the others; with no other, the
// connections waiting are ended.
void ZRWorkerPool::startThread()
{
    auto *thread = new ZRWorkerThread(m_table.shared_from_this());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stackSize > 0)
            thread->setStackSize(m_stackSize);
    }
    if (ZRThreadDispatcher::startThread(thread))
        return;
    std::deque<ZRConnection *> orphans;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_starting;
        if (--m_threads == 0) {
            orphans.swap(m_queue);
            noteCrowding();
        }
    }
    delete thread;
    for (ZRConnection *connection : orphans)
        connection->abandon();
}

void ZRWorkerPool::work()
{
    ZRSocketPrivate::holdSigpipe(); // file replies go out from these threads
    {
        ZRWorker worker;
        std::unique_lock<std::mutex> lock(m_mutex);
        --m_starting;
        while (waitForWork(lock)) {
            ZRConnection *connection = m_queue.front();
            m_queue.pop_front();
            noteCrowding();
            lock.unlock();
            connection->serve(worker);
            lock.lock();
        }
    }
    m_table.threadEnded(QThread::currentThread());
}

// True once there is a connection to serve; false when the thread is to end. Before it waits,
// the thread carries out the deletions that slots run on it have deferred.
bool ZRWorkerPool::waitForWork(std::unique_lock<std::mutex> &lock)
{
    if (!m_queue.empty())
        return true;
    lock.unlock();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    lock.lock();
    ++m_idle;
    const auto working = [this] { return !m_queue.empty() || !m_keepsThreads; };
    if (!m_work.wait_for(lock, IdleLife, working) && m_threads <= KeptThreads)
        m_work.wait(lock, working);
    --m_idle;
    if (!m_queue.empty())
        return true;
    --m_threads;
    return false;
}
