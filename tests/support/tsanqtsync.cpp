// Linked into every test program of a ThreadSanitizer build, and only there.
//
// Qt 5 as distributions ship it is not built with ThreadSanitizer, and its QMutex, QSemaphore,
// QWaitCondition and the end of a QThread synchronise through futexes and locks of its own that
// TSan cannot see: every access that they order would be reported as a race. The definitions
// below take the place of the Qt functions that the library and the tests call (a program's
// definitions come before a library's), call Qt's own, and tell TSan about the ordering each one
// makes. Calls inside Qt itself are not affected; what remains of them is in
// tests/tools/tsan.supp.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <QWaitCondition>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

// Qt's own definition of the function with this mangled name.
template <typename Function>
Function qtOwn(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto next = qtOwn<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    next(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto next = qtOwn<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = next(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto next = qtOwn<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    next(this);
}

void QSemaphore::acquire(int n)
{
    static const auto next = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7acquireEi");
    next(this, n);
    __tsan_acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto next = qtOwn<bool (*)(QSemaphore *, int)>("_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = next(this, n);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto next
        = qtOwn<bool (*)(QSemaphore *, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    const bool acquired = next(this, n, timeout);
    if (acquired)
        __tsan_acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    static const auto next = qtOwn<void (*)(QSemaphore *, int)>("_ZN10QSemaphore7releaseEi");
    __tsan_release(this);
    next(this, n);
}

// A wait unlocks the mutex inside Qt and locks it again before it returns.
bool QWaitCondition::wait(QMutex *mutex, QDeadlineTimer deadline)
{
    static const auto next = qtOwn<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(mutex);
    const bool woken = next(this, mutex, deadline);
    __tsan_acquire(mutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *mutex, unsigned long time)
{
    static const auto next = qtOwn<bool (*)(QWaitCondition *, QMutex *, unsigned long)>(
        "_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(mutex);
    const bool woken = next(this, mutex, time);
    __tsan_acquire(mutex);
    return woken;
}

// A thread's end: everything it did comes before a wait() that sees it finished, and before the
// deletion that a deleteLater() from its finished() signal posts.
void QThread::start(Priority priority)
{
    static const auto next
        = qtOwn<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    connect(
        this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    next(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto next
        = qtOwn<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = next(this, deadline);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

bool QThread::wait(unsigned long time)
{
    static const auto next = qtOwn<bool (*)(QThread *, unsigned long)>("_ZN7QThread4waitEm");
    const bool finished = next(this, time);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

bool QThread::isFinished() const
{
    static const auto next = qtOwn<bool (*)(const QThread *)>("_ZNK7QThread10isFinishedEv");
    const bool finished = next(this);
    if (finished)
        __tsan_acquire(const_cast<QThread *>(this));
    return finished;
}

void QObject::deleteLater()
{
    static const auto next = qtOwn<void (*)(QObject *)>("_ZN7QObject11deleteLaterEv");
    __tsan_release(this);
    next(this);
}

bool QThread::event(QEvent *event)
{
    static const auto next = qtOwn<bool (*)(QThread *, QEvent *)>("_ZN7QThread5eventEP6QEvent");
    if (event->type() == QEvent::DeferredDelete)
        __tsan_acquire(this);
    return next(this, event);
}

// Posted events and queued calls: Qt hands them from thread to thread under its own locks. A
// signal emitted, an event posted or a call queued comes before every event handled afterwards,
// on whichever thread; one token stands for that order, since which receiver gets what is
// decided inside Qt.
namespace {
char postedToken;
} // namespace

void QMetaObject::activate(QObject *sender, const QMetaObject *meta, int index, void **argv)
{
    static const auto next = qtOwn<void (*)(QObject *, const QMetaObject *, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(&postedToken);
    next(sender, meta, index, argv);
}

void QMetaObject::activate(QObject *sender, int offset, int index, void **argv)
{
    static const auto next = qtOwn<void (*)(QObject *, int, int, void **)>(
        "_ZN11QMetaObject8activateEP7QObjectiiPPv");
    __tsan_release(&postedToken);
    next(sender, offset, index, argv);
}

bool QMetaObject::invokeMethodImpl(
    QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type, void *ret)
{
    static const auto next
        = qtOwn<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *)>(
            "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14"
            "ConnectionTypeEPv");
    __tsan_release(&postedToken);
    return next(object, slot, type, ret);
}

void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    static const auto next = qtOwn<void (*)(QObject *, QEvent *, int)>(
        "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    __tsan_release(&postedToken);
    next(receiver, event, priority);
}

void QCoreApplication::sendPostedEvents(QObject *receiver, int type)
{
    static const auto next = qtOwn<void (*)(QObject *, int)>(
        "_ZN16QCoreApplication16sendPostedEventsEP7QObjecti");
    __tsan_acquire(&postedToken);
    next(receiver, type);
}

bool QObject::event(QEvent *event)
{
    static const auto next = qtOwn<bool (*)(QObject *, QEvent *)>("_ZN7QObject5eventEP6QEvent");
    __tsan_acquire(&postedToken);
    return next(this, event);
}
