#include "zrsocket_p.h"
#include "zrthreaddispatcher_p.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <chrono>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

ZRThreadDispatcher::ZRThreadDispatcher() = default;

bool ZRThreadDispatcher::startThread(QThread *thread, QThread::Priority priority)
{
    auto *dispatcher = new ZRThreadDispatcher;
    thread->setEventDispatcher(dispatcher);
    thread->start(priority);
    if (thread->isRunning() || thread->isFinished())
        return true;
    delete dispatcher;
    return false;
}

ZRThreadDispatcher::~ZRThreadDispatcher()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

qint64 ZRThreadDispatcher::now()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ZRThreadDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    bool canWait = flags & QEventLoop::WaitForMoreEvents;
    {
        // A wake-up or interrupt stays pending until a pass gets here, however long ago it
        // came (QEventLoop::exit() may call between two passes). What it announced was posted
        // before it, so was sent above or is sent by the next pass, which this one does not
        // delay by waiting.
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool woken = std::exchange(m_woken, false);
        if (std::exchange(m_interrupted, false))
            return false;
        canWait = canWait && !woken;
    }
    if (canWait)
        emit aboutToBlock();

    int timeoutMs = 0;
    if (canWait) {
        const qint64 untilTimer = includeTimers ? msUntilNextTimer() : -1;
        timeoutMs = untilTimer < 0 ? -1 : int(qMin<qint64>(untilTimer, INT_MAX));
    }
    int events = 0;
    if (includeNotifiers && !m_notifiers.isEmpty())
        events += pollNotifiers(timeoutMs);
    else if (timeoutMs != 0)
        events += waitForWakeUp(timeoutMs) ? 1 : 0;
    if (includeTimers)
        events += activateTimers();
    return events > 0;
}

// Waits for wakeUp() or interrupt(); true when one came.
bool ZRThreadDispatcher::waitForWakeUp(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto woken = [this] { return m_woken || m_interrupted; };
    if (timeoutMs < 0)
        m_wakeUp.wait(lock, woken);
    else
        m_wakeUp.wait_for(lock, std::chrono::milliseconds(timeoutMs), woken);
    m_interrupted = false;
    return std::exchange(m_woken, false);
}

bool ZRThreadDispatcher::wakeUpPending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_woken || m_interrupted;
}

int ZRThreadDispatcher::pollNotifiers(int timeoutMs)
{
    QVector<pollfd> fds;
    fds.reserve(m_notifiers.size() + 1);
    for (QSocketNotifier *notifier : qAsConst(m_notifiers)) {
        short events = POLLPRI;
        if (notifier->type() == QSocketNotifier::Read)
            events = POLLIN;
        else if (notifier->type() == QSocketNotifier::Write)
            events = POLLOUT;
        fds.append({ int(notifier->socket()), events, 0 });
    }
    fds.append({ m_wakeFd, POLLIN, 0 });
    if (wakeUpPending())
        timeoutMs = 0;
    if (ZRSocketPrivate::pollUntil(
            fds.data(), nfds_t(fds.size()), ZRSocketPrivate::deadlineIn(timeoutMs))
        <= 0)
        return 0;
    int events = 0;
    if (fds.last().revents & POLLIN) {
        quint64 count;
        (void)!::read(m_wakeFd, &count, sizeof count);
        ++events;
    }
    // Notifiers may be removed, or added, by the ones activated before them.
    const QVector<QSocketNotifier *> polled = m_notifiers;
    for (int i = 0; i < polled.size(); ++i) {
        const short revents = fds.at(i).revents;
        const QSocketNotifier::Type type = polled.at(i)->type();
        const bool ready
            = (type == QSocketNotifier::Read && (revents & (POLLIN | POLLHUP | POLLERR)))
            || (type == QSocketNotifier::Write && (revents & (POLLOUT | POLLERR)))
            || (type == QSocketNotifier::Exception && (revents & POLLPRI));
        if (!ready || !m_notifiers.contains(polled.at(i)))
            continue;
        QEvent activity(QEvent::SockAct);
        QCoreApplication::sendEvent(polled.at(i), &activity);
        ++events;
    }
    return events;
}

void ZRThreadDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    if (m_wakeFd < 0) {
        const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wakeFd = fd;
    }
    if (!m_notifiers.contains(notifier))
        m_notifiers.append(notifier);
}

void ZRThreadDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    m_notifiers.removeAll(notifier);
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
void ZRThreadDispatcher::registerTimer(
    int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
#else
void ZRThreadDispatcher::registerTimer(
    int timerId, int interval, Qt::TimerType timerType, QObject *object)
#endif
{
    m_timers.append(
        { timerId, qint64(interval), timerType, object, now() + interval, false, ++m_serials });
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
bool ZRThreadDispatcher::hasPendingEvents()
{
    return false;
}

void ZRThreadDispatcher::flush() { }
#endif

ZRThreadDispatcher::Timer *ZRThreadDispatcher::findTimer(int timerId)
{
    for (Timer &timer : m_timers) {
        if (timer.id == timerId)
            return &timer;
    }
    return nullptr;
}

bool ZRThreadDispatcher::unregisterTimer(int timerId)
{
    for (int i = 0; i < m_timers.size(); ++i) {
        if (m_timers.at(i).id == timerId) {
            m_timers.remove(i);
            return true;
        }
    }
    return false;
}

bool ZRThreadDispatcher::unregisterTimers(QObject *object)
{
    const int before = m_timers.size();
    m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(),
                       [object](const Timer &timer) { return timer.object == object; }),
        m_timers.end());
    return m_timers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> ZRThreadDispatcher::registeredTimers(
    QObject *object) const
{
    QList<TimerInfo> result;
    for (const Timer &timer : m_timers) {
        if (timer.object == object)
            result.append(TimerInfo(timer.id, int(timer.interval), timer.type));
    }
    return result;
}

int ZRThreadDispatcher::remainingTime(int timerId)
{
    const Timer *timer = findTimer(timerId);
    return timer ? int(qMax<qint64>(0, timer->due - now())) : -1;
}

qint64 ZRThreadDispatcher::msUntilNextTimer() const
{
    qint64 next = -1;
    const qint64 at = now();
    for (const Timer &timer : m_timers) {
        if (timer.firing)
            continue;
        const qint64 left = qMax<qint64>(0, timer.due - at);
        next = next < 0 ? left : qMin(next, left);
    }
    return next;
}

// Sends each due timer its event once; a timer may be killed, or others started, by any of
// the events sent.
int ZRThreadDispatcher::activateTimers()
{
    const qint64 at = now();
    // By serial: an id killed by an event sent here and taken by a new timer is not due.
    QVector<QPair<int, quint64>> due;
    for (const Timer &timer : qAsConst(m_timers)) {
        if (!timer.firing && timer.due <= at)
            due.append({ timer.id, timer.serial });
    }
    for (const auto &[id, serial] : qAsConst(due)) {
        Timer *timer = findTimer(id);
        if (!timer || timer->serial != serial)
            continue;
        timer->due = at + timer->interval;
        timer->firing = true;
        QObject *object = timer->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        if ((timer = findTimer(id)))
            timer->firing = false;
    }
    return due.size();
}

void ZRThreadDispatcher::wakeUp()
{
    ring(&m_woken);
}

void ZRThreadDispatcher::interrupt()
{
    ring(&m_interrupted);
}

// Sets the flag and rouses the thread, whether it waits on the condition or in poll().
void ZRThreadDispatcher::ring(bool *flag)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *flag = true;
    if (m_wakeFd >= 0) {
        const quint64 one = 1;
        (void)!::write(m_wakeFd, &one, sizeof one);
    }
    m_wakeUp.notify_all();
}
