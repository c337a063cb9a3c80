#include "netbus_p.h"

#include "netcall_p.h"

#include "zrlogging_p.h"
#include "zrsocket_p.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <pthread.h>
#include <signal.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
// An attempt ends this long before its callers stop waiting, so that they learn how it ended.
constexpr int DecideMs = 200;

thread_local bool callFailed = false;

const char BusService[] = "org.freedesktop.DBus";
const char BusPath[] = "/org/freedesktop/DBus";

QString latin1(const char *text)
{
    return QString::fromLatin1(text);
}

QString systemBusAddress()
{
    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    return address.isEmpty() ? QStringLiteral("unix:path=/var/run/dbus/system_bus_socket")
                             : address;
}

const char *nameOf(NetBus::Reach reach)
{
    switch (reach) {
    case NetBus::Reach::Absent:
        return "absent";
    case NetBus::Reach::Unanswered:
        return "no answer";
    case NetBus::Reach::Connected:
        return "connected";
    }
    return "?";
}

// What a bus did with the first line of the authentication every client sends.
enum class Greeting { Refused, Silent, Answered };

// The socket of one entry of a bus address ("unix:path=/run/dbus/socket", or
// "unix:abstract=NAME", values %-escaped); false for any other kind.
bool unixAddress(const QString &entry, sockaddr_un *address, socklen_t *length)
{
    if (!entry.startsWith(QLatin1String("unix:")))
        return false;
    for (const QString &pair : entry.mid(5).split(QLatin1Char(','))) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        const QByteArray value
            = QByteArray::fromPercentEncoding(pair.section(QLatin1Char('='), 1).toLatin1());
        const bool abstract = key == QLatin1String("abstract");
        if ((!abstract && key != QLatin1String("path"))
            || size_t(value.size()) + 1 > sizeof address->sun_path)
            continue;
        *address = {};
        address->sun_family = AF_UNIX;
        std::memcpy(address->sun_path + abstract, value.constData(), size_t(value.size()));
        // An abstract name is counted to its end; a path ends at its NUL.
        *length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(value.size()));
        return true;
    }
    return false;
}

// A bus that answers this much answers Qt's connect too; one that accepts and says nothing
// would hold Qt for ever.
Greeting greet(const sockaddr_un &address, socklen_t length, const QDeadlineTimer &deadline)
{
    using namespace ZRSocketPrivate;
    const SocketGuard socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    // A full backlog (EAGAIN) is a bus that takes no one in.
    while (::connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), length) != 0) {
        if (errno != EAGAIN || socket.get() < 0)
            return Greeting::Refused;
        if (deadline.hasExpired())
            return Greeting::Silent;
        QThread::msleep(20);
    }
    const QByteArray line
        = QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::geteuid()).toHex() + "\r\n";
    if (sendRetrying(socket.get(), line.constData(), size_t(line.size()), MSG_NOSIGNAL)
        != ssize_t(line.size()))
        return Greeting::Refused;
    QByteArray answer;
    while (!answer.contains("\r\n")) {
        char buffer[256];
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || waitFor(socket.get(), POLLIN, int(left)) <= 0)
            return Greeting::Silent;
        const ssize_t got = recvRetrying(socket.get(), buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN))
            return Greeting::Refused;
        answer.append(buffer, int(qMax<ssize_t>(got, 0)));
    }
    return Greeting::Answered;
}

// The first entry of the address that takes a connection decides. Another kind of transport
// than a local socket is left to Qt unprobed.
Greeting greet(const QString &busAddress, const QDeadlineTimer &deadline)
{
    for (const QString &entry : busAddress.split(QLatin1Char(';'))) {
        if (entry.isEmpty())
            continue;
        sockaddr_un address;
        socklen_t length = 0;
        if (!unixAddress(entry, &address, &length))
            return Greeting::Answered;
        const Greeting greeting = greet(address, length, deadline);
        if (greeting != Greeting::Refused)
            return greeting;
    }
    return Greeting::Refused;
}

bool isUnanswered(const QDBusMessage &reply)
{
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return reply.type() == QDBusMessage::ErrorMessage
        && (type == QDBusError::NoReply || type == QDBusError::Timeout
            || type == QDBusError::TimedOut || type == QDBusError::Disconnected
            || type == QDBusError::NoServer);
}

} // namespace

NetBus::NetBus() : m_thread(new QThread), m_connection(QString())
{
    m_thread->setObjectName(QStringLiteral("zrnet bus"));
    moveToThread(m_thread);
}

NetBus &NetBus::instance()
{
    // Never deleted: its thread may still be connecting when the process ends.
    static NetBus *const bus = new NetBus;
    return *bus;
}

NetBus::Reach NetBus::reach()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_connecting && !(m_reach == Reach::Connected && m_connection.isConnected()))
        startAttempt(lock);
    m_decided.wait_until(lock, m_attemptEnds, [this] { return !m_connecting; });
    return m_connecting ? Reach::Unanswered : m_reach;
}

QDBusConnection NetBus::connection()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection;
}

bool NetBus::hasService()
{
    return reach() == Reach::Connected && owns(latin1(ServiceName));
}

bool NetBus::follow(const QString &name)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_followed.contains(name))
            m_followed.append(name);
    }
    if (reach() != Reach::Connected || !m_thread->isRunning())
        return false;
    // Asked on the bus thread, where its signals come in: what it hears, it hears after this.
    bool owned = false;
    const auto ask = [this, name, &owned] {
        const QDBusConnection bus = connection();
        owned = bus.isConnected() && watch(bus, { name }, CallLimitMs) && owns(name);
    };
    if (QThread::currentThread() == m_thread)
        ask();
    else
        QMetaObject::invokeMethod(this, ask, Qt::BlockingQueuedConnection);
    return owned;
}

bool NetBus::owns(const QString &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owned.contains(name);
}

QDBusMessage NetBus::call(const QDBusMessage &message)
{
    if (callFailed)
        return message.createErrorReply(QDBusError::NoReply,
            QStringLiteral("not sent: the bus or the service failed this call already"));
    const QDBusMessage reply = connection().call(message, QDBus::Block, CallLimitMs);
    if (isUnanswered(reply)) {
        callFailed = true;
        NetCall::record(NetFailureReason::TimedOut, QStringLiteral("NetworkManager service"),
            QStringLiteral("the system bus or the NetworkManager service did not answer in time"));
    }
    return reply;
}

void NetBus::beginCall()
{
    callFailed = false;
}

void NetBus::noteFailure()
{
    callFailed = true;
}

bool NetBus::failed()
{
    return callFailed;
}

// With the lock held; the attempt runs on the bus thread, inline when that is the caller's.
void NetBus::startAttempt(std::unique_lock<std::mutex> &lock)
{
    m_connecting = true;
    m_attemptEnds = Clock::now() + std::chrono::milliseconds(ConnectLimitMs);
    const QString previous = m_connection.name();
    m_connection = QDBusConnection(QString());
    m_owned.clear();
    if (!m_thread->isRunning()) {
        // Started with every signal blocked, as are the threads Qt's bus code starts from it:
        // signals are the application's, which may wait for them on a thread of its choosing.
        sigset_t all;
        sigset_t before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        m_thread->start();
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (QCoreApplication::instance())
            qAddPostRoutine(&NetBus::stop);
    }
    const QString address = systemBusAddress();
    const auto ends = m_attemptEnds;
    const auto run = [this, address, previous, ends]() {
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(ends - Clock::now());
        attempt(address, previous, int(qMax<qint64>(0, left.count() - DecideMs)));
    };
    if (QThread::currentThread() == m_thread) {
        lock.unlock();
        run();
        lock.lock();
    } else {
        QMetaObject::invokeMethod(this, run, Qt::QueuedConnection);
    }
}

void NetBus::attempt(const QString &address, const QString &previous, int limitMs)
{
    if (!previous.isEmpty())
        QDBusConnection::disconnectFromBus(previous);
    const QDeadlineTimer deadline(limitMs);
    Reach reach = Reach::Absent;
    QString name;
    switch (greet(address, deadline)) {
    case Greeting::Refused:
        break;
    case Greeting::Silent:
        reach = Reach::Unanswered;
        break;
    case Greeting::Answered:
        name = QStringLiteral("zrnet-net-%1").arg(++m_opened);
        reach = open(address, name, int(qMax<qint64>(1, deadline.remainingTime())));
        break;
    }
    qCDebug(lcNet, "system bus at %s: %s", qUtf8Printable(address), nameOf(reach));
    QSet<QString> owned;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reach = reach;
        m_connection = QDBusConnection(reach == Reach::Connected ? name : QString());
        m_connecting = false;
        owned = m_owned;
    }
    m_decided.notify_all();
    for (const QString &each : owned)
        emit ownerChanged(each, true);
}

NetBus::Reach NetBus::open(const QString &address, const QString &name, int limitMs)
{
    QDBusConnection bus = QDBusConnection::connectToBus(address, name);
    QStringList followed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        followed = m_followed;
    }
    if (bus.isConnected() && watch(bus, followed, limitMs))
        return Reach::Connected;
    qCDebug(lcNet, "system bus at %s: %s", qUtf8Printable(address),
        qUtf8Printable(bus.lastError().message()));
    const bool answered = bus.isConnected();
    QDBusConnection::disconnectFromBus(name);
    return answered ? Reach::Unanswered : Reach::Absent;
}

bool NetBus::watch(QDBusConnection bus, const QStringList &names, int limitMs)
{
    const QString busService = latin1(BusService);
    // Watched before they are asked, so that no change between the two goes unseen.
    for (const QString &name : names) {
        bus.connect(busService, latin1(BusPath), busService, QStringLiteral("NameOwnerChanged"),
            { name }, QString(), this, SLOT(nameOwnerChanged(QString, QString, QString)));
    }
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(busService, latin1(BusPath),
                                            busService, QStringLiteral("ListNames")),
        QDBus::Block, limitMs);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return false;
    const QStringList listed = reply.arguments().value(0).toStringList();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const QString &name : names) {
        if (listed.contains(name))
            m_owned.insert(name);
        else
            m_owned.remove(name);
    }
    return true;
}

void NetBus::nameOwnerChanged(const QString &name, const QString &, const QString &newOwner)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_followed.contains(name))
            return;
        if (newOwner.isEmpty())
            m_owned.remove(name);
        else
            m_owned.insert(name);
    }
    qCDebug(
        lcNet, "%s %s the system bus", qUtf8Printable(name), newOwner.isEmpty() ? "left" : "is on");
    emit ownerChanged(name, !newOwner.isEmpty());
}

// Before the application goes: the thread ends, and the connection with it. A later use starts
// both again.
void NetBus::stop()
{
    NetBus &bus = instance();
    bus.m_thread->quit();
    if (!bus.m_thread->wait(ConnectLimitMs))
        return; // held in a connect; the process's end takes it
    std::lock_guard<std::mutex> lock(bus.m_mutex);
    const QString name = bus.m_connection.name();
    bus.m_connection = QDBusConnection(QString());
    bus.m_connecting = false;
    if (!name.isEmpty())
        QDBusConnection::disconnectFromBus(name);
}
