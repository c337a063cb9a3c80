#include "setup.h"

#include "portal.h"

#include <zrsocket.h>

#include <QElapsedTimer>

#include <cstdio>

const QString Setup::Address = QStringLiteral("192.168.42.1");

namespace {
constexpr int PollMs = 1000;
constexpr int HandlersWaitMs = 5000;

void say(const QString &line)
{
    std::printf("device portal: setup: %s\n", qPrintable(line));
    std::fflush(stdout);
}
} // namespace

Setup::Setup(NetworkManager *manager, const QString &wifi, const Options &options)
    : m_manager(manager), m_wifi(wifi), m_options(options)
{ }

Setup::~Setup()
{
    stop();
}

void Setup::start(Portal *portal)
{
    m_portal = portal;
    m_thread = std::thread([this] { run(); });
}

void Setup::stop()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    if (m_thread.joinable())
        m_thread.join();
    stopServingOnAccessPoint();
    if (m_manager->isAccessPointActive(m_wifi) && m_manager->stopAccessPoint(m_wifi))
        say(QStringLiteral("access point stopped"));
}

bool Setup::requestJoin(const QString &ssid, const QString &passphrase)
{
    QMutexLocker lock(&m_mutex);
    if (!m_joining.isNull() || m_stopping)
        return false;
    m_joining = ssid;
    m_pendingPassphrase = passphrase;
    m_pending = true;
    m_wake.wakeAll();
    return true;
}

QJsonObject Setup::describe() const
{
    const bool up = m_manager->isAccessPointActive(m_wifi);
    QMutexLocker lock(&m_mutex);
    const QJsonObject accessPoint { { "interface", m_wifi }, { "ssid", m_options.ssid },
        { "address", Address }, { "open", m_options.passphrase.isEmpty() }, { "up", up },
        { "served", up && m_served } };
    return { { "accessPoint", accessPoint },
        { "joining", m_joining.isNull() ? QJsonValue() : QJsonValue(m_joining) },
        { "lastJoin", m_lastJoin.isEmpty() ? QJsonValue() : QJsonValue(m_lastJoin) } };
}

QList<WifiAp> Setup::keptNetworks(QDateTime *when) const
{
    if (!m_manager->isAccessPointActive(m_wifi))
        return {};
    QMutexLocker lock(&m_mutex);
    *when = m_keptAt;
    return m_kept;
}

bool Setup::isStopping() const
{
    QMutexLocker lock(&m_mutex);
    return m_stopping;
}

void Setup::run()
{
    QElapsedTimer sinceLink;
    sinceLink.start();
    bool atStart = true; // no link at start: no waiting
    QMutexLocker lock(&m_mutex);
    while (!m_stopping && !m_refused) {
        if (m_pending) {
            m_pending = false;
            const QString ssid = m_joining;
            const QString passphrase = std::exchange(m_pendingPassphrase, QString());
            lock.unlock();
            join(ssid, passphrase);
        } else {
            lock.unlock();
            if (!m_manager->isAccessPointActive(m_wifi)) {
                if (m_manager->isWifiConnected(m_wifi))
                    sinceLink.restart();
                else if (atStart || sinceLink.hasExpired(m_options.waitSeconds * 1000LL)) {
                    bringUp();
                    sinceLink.restart(); // a failed start is tried again after the wait
                }
            }
        }
        atStart = false;
        lock.relock();
        if (!m_stopping && !m_pending)
            m_wake.wait(&m_mutex, PollMs);
    }
}

void Setup::bringUp()
{
    const QList<WifiAp> networks = m_manager->apList();
    const int result
        = m_manager->startAccessPoint(m_wifi, m_options.ssid, m_options.passphrase, Address);
    {
        QMutexLocker lock(&m_mutex);
        m_kept = networks;
        m_keptAt = QDateTime::currentDateTimeUtc();
    }
    if (result != 0) {
        say(QStringLiteral("no access point on %1: %2")
                .arg(m_wifi, netResultText(NetResult(result))));
        // Its name or passphrase will not do any better next time.
        m_refused = result == int(NetResult::AccessPointRefused);
        return;
    }
    say(QStringLiteral("access point \"%1\" up on %2").arg(m_options.ssid, m_wifi));
    serveOnAccessPoint();
    m_portal->broadcastStatus();
}

void Setup::serveOnAccessPoint()
{
    if (m_options.servedByListen) {
        say(QStringLiteral("serving http://%1/ to the access point's clients through --listen")
                .arg(Address));
        QMutexLocker lock(&m_mutex);
        m_served = true;
        return;
    }
    auto server = std::make_unique<ZRHttpServer>();
    server->setMaxBodySize(64 * 1024);
    auto router = std::make_unique<ZRHttpRouter>(server.get());
    m_portal->addRoutes(*router, Portal::Side::AccessPoint);
    if (server->start(Address, 80, 64) < 0) {
        say(QStringLiteral("cannot serve on %1:80 (%2); the page stays on --listen only")
                .arg(Address, ZRSocket::lastError()));
        return;
    }
    say(QStringLiteral("serving http://%1/ to the access point's clients").arg(Address));
    m_server = std::move(server);
    m_router = std::move(router);
    QMutexLocker lock(&m_mutex);
    m_served = true;
}

void Setup::stopServingOnAccessPoint()
{
    {
        QMutexLocker lock(&m_mutex);
        m_served = false;
    }
    if (!m_server)
        return;
    m_server->stop();
    m_server->waitForConnections(HandlersWaitMs);
    m_router.reset();
    m_server.reset();
}

void Setup::join(const QString &ssid, const QString &passphrase)
{
    say(QStringLiteral("joining \"%1\"; the access point goes off the air").arg(ssid));
    stopServingOnAccessPoint();
    m_manager->stopAccessPoint(m_wifi);
    const int result = m_manager->connectToAp(ssid, passphrase, m_wifi);
    QJsonObject outcome = joinOutcome(ssid, result);
    outcome.remove(QStringLiteral("ssid"));
    outcome.insert(QStringLiteral("network"), ssid);
    outcome.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    say(QStringLiteral("\"%1\": %2").arg(ssid, outcome.value("message").toString()));
    {
        QMutexLocker lock(&m_mutex);
        m_lastJoin = outcome;
    }
    if (result != 0 && !isStopping())
        bringUp(); // back on the air, for the page to say why
    {
        QMutexLocker lock(&m_mutex);
        m_joining.clear();
    }
    m_portal->broadcastStatus();
}
