#include "portal.h"

#include "access.h"
#include "setup.h"

#include <zrhttpmultipart.h>

#include <QDir>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonArray>
#include <QUrl>

#include <algorithm>
#include <mutex>

namespace {

// The page loads only its own files and runs no inline script, so even markup that slipped
// into it could not run. Nothing is cached: every answer describes the device now.
const QPair<QByteArray, QByteArray> Guards[] = {
    { "Content-Security-Policy",
        "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
        "frame-ancestors 'none'" },
    { "X-Content-Type-Options", "nosniff" },
    { "Cache-Control", "no-store" },
};

ZRHttpReply guarded(ZRHttpReply reply)
{
    for (const auto &guard : Guards)
        reply.setHeader(guard.first, guard.second);
    return reply;
}

ZRHttpReply failure(int status, const QString &why)
{
    return guarded(ZRHttpReply::json(QJsonObject { { "error", why } }, status));
}

// Set on a handler's thread when a call of the controller found the NetworkManager service (or
// the system bus) silent: the route then answers 503, not what the handler made of the failure.
thread_local bool serviceUnavailable = false;

template <typename Result>
Result asked(Result result)
{
    serviceUnavailable = serviceUnavailable || NetworkManager::lastCallServiceUnavailable();
    return result;
}

// What /api/join answers for each result of NetworkManager::connectToAp().
struct Outcome
{
    NetResult result;
    const char *name;
    const char *words;
};

const Outcome Outcomes[] = {
    { NetResult::DhcpStarted, "joined", "Joined; the device is getting its address by DHCP." },
    { NetResult::LinkTimeout, "no-link",
        "The link did not come up (wrong passphrase or out of range)." },
    { NetResult::DhcpFailed, "dhcp-failed", "Joined, but DHCP could not start." },
    { NetResult::NoInterface, "no-wifi", "No Wi-Fi interface." },
};

} // namespace

QJsonObject joinOutcome(const QString &ssid, int result)
{
    QJsonObject answer { { "ssid", ssid }, { "result", result }, { "outcome", "unknown" },
        { "message", netResultText(NetResult(result)) } };
    for (const Outcome &known : Outcomes) {
        if (int(known.result) == result) {
            answer["outcome"] = known.name;
            answer["message"] = known.words;
        }
    }
    return answer;
}

namespace {

QJsonValue nameOrNull(const QString &name)
{
    return name.isEmpty() ? QJsonValue() : QJsonValue(name);
}

QJsonArray addresses(const QNetworkInterface &interface)
{
    QJsonArray result;
    for (const QNetworkAddressEntry &entry : interface.addressEntries())
        result.append(QStringLiteral("%1/%2").arg(entry.ip().toString()).arg(entry.prefixLength()));
    return result;
}

void describe(QJsonArray &list, const QList<QNetworkInterface> &found, const char *kind,
    const QString &chosen)
{
    for (const QNetworkInterface &interface : found) {
        list.append(QJsonObject {
            { "name", interface.name() },
            { "kind", kind },
            { "default", interface.name() == chosen },
            { "up", interface.flags().testFlag(QNetworkInterface::IsUp) },
            { "running", interface.flags().testFlag(QNetworkInterface::IsRunning) },
            { "hardwareAddress", interface.hardwareAddress() },
            { "addresses", addresses(interface) },
        });
    }
}

// The scan table: each network once, at its strongest cell, with how many cells it has.
QJsonArray strongestCells(const QList<WifiAp> &cells)
{
    QList<int> counts;
    const QList<WifiAp> networks = NetworkManager::networksIn(cells, &counts);
    QJsonArray result;
    for (int i = 0; i < networks.size(); ++i) {
        result.append(
            QJsonObject { { "ssid", networks.at(i).ssid }, { "quality", networks.at(i).quality },
                { "encrypted", networks.at(i).encrypted }, { "cells", counts.at(i) } });
    }
    return result;
}

// An address, localhost, or one of the device's names (NAME or NAME.local for each of `names`).
bool isDeviceHost(const QByteArray &host, const QStringList &names)
{
    const QString name = QUrl(QStringLiteral("http://") + QString::fromUtf8(host)).host();
    if (!QHostAddress(name).isNull() || name == QLatin1String("localhost"))
        return true;
    return std::any_of(names.cbegin(), names.cend(), [&name](const QString &own) {
        return !own.isEmpty() && (name == own || name == own + QLatin1String(".local"));
    });
}

// A page elsewhere must not reconfigure the device through the browser of someone who can
// reach it. A cross-site POST carries another Origin; a name of the other site that now
// resolves to the device (DNS rebinding) arrives as a Host that is not the device's. Either
// scheme is the device's own: one host and port serves HTTP or HTTPS, never both.
QString crossSiteRefusal(const ZRHttpRequest &request, const QStringList &names)
{
    const QByteArray host = request.headerValue("Host");
    const QByteArray origin = request.headerValue("Origin");
    // A browser says where a request comes from even where it sends no Origin: an image or a
    // link of another site must not make the device scan (a root tool) or tell about itself.
    const bool crossSite
        = request.headerValue("Sec-Fetch-Site").trimmed().toLower() == "cross-site";
    if (crossSite
        || (!origin.isEmpty() && origin != "http://" + host && origin != "https://" + host))
        return QStringLiteral("refused: the request comes from another site");
    if (!isDeviceHost(host, names))
        return QStringLiteral("refused: open the portal by the device's address or host name");
    return QString();
}

// The pages phones and computers fetch to learn whether they are online; anything but their
// expected answer tells them a portal is in the way.
const char *const ConnectivityChecks[]
    = { "/generate_204", "/gen_204", "/hotspot-detect.html", "/connecttest.txt", "/ncsi.txt" };

ZRHttpReply toSetupPage()
{
    const QByteArray url = "http://" + Setup::Address.toLatin1() + '/';
    ZRHttpReply reply = ZRHttpReply::html(
        "<!DOCTYPE html><title>Device setup</title><a href=\"" + url + "\">Device setup</a>\n",
        302);
    reply.setHeader("Location", url);
    return guarded(reply);
}

bool isJson(const ZRHttpRequest &request)
{
    return request.headerValue("Content-Type").toLower().startsWith("application/json");
}

ZRHttpPart jsonPart(const char *name, const QJsonObject &object)
{
    ZRHttpPart part;
    part.setHeader("Content-Type", "application/json");
    part.setHeader("Content-Disposition", QByteArray("inline; filename=\"") + name + ".json\"");
    part.setBody(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return part;
}

} // namespace

Portal::Portal(NetworkManager *manager, bool allowChanges)
    : m_manager(manager), m_allowChanges(allowChanges)
{
    forwardChanges();
}

// What the controller tells of the device's network goes to the pages as it comes.
void Portal::forwardChanges()
{
    const auto tell = [this](const char *event, const QString &interface, const char *key = nullptr,
                          const QJsonValue &value = QJsonValue()) {
        QJsonObject data { { "interface", interface } };
        if (key)
            data.insert(QLatin1String(key), value);
        broadcast(event, data);
    };
    QObject::connect(m_manager, &NetworkManager::linkChanged, &m_changes,
        [tell](const QString &interface, bool up) { tell("link", interface, "up", up); });
    QObject::connect(m_manager, &NetworkManager::wifiNetworkChanged, &m_changes,
        [tell](const QString &interface, const QString &ssid) {
            tell("network", interface, "ssid", nameOrNull(ssid));
        });
    QObject::connect(m_manager, &NetworkManager::addressesChanged, &m_changes,
        [tell](const QString &interface) { tell("addresses", interface); });
    QObject::connect(m_manager, &NetworkManager::accessPointChanged, &m_changes,
        [tell](const QString &interface, bool up) { tell("access-point", interface, "up", up); });
}

// A page that has gone is forgotten at the next event.
void Portal::broadcast(const QByteArray &event, const QJsonObject &data)
{
    const QByteArray text = QJsonDocument(data).toJson(QJsonDocument::Compact);
    QMutexLocker lock(&m_listening);
    m_listeners.erase(std::remove_if(m_listeners.begin(), m_listeners.end(),
                          [&](const QPair<Side, std::shared_ptr<ZRHttpStream>> &listener) {
                              return !listener.second->sendEvent(text, event);
                          }),
        m_listeners.end());
}

void Portal::broadcastStatus()
{
    bool asked[2] = {}; // by side, each asked for once, without the lock
    {
        QMutexLocker lock(&m_listening);
        for (const auto &listener : qAsConst(m_listeners))
            asked[int(listener.first)] = true;
    }
    QByteArray texts[2];
    for (int side : { 0, 1 }) {
        if (asked[side])
            texts[side] = QJsonDocument(status(Side(side))).toJson(QJsonDocument::Compact);
    }
    QMutexLocker lock(&m_listening);
    for (const auto &listener : qAsConst(m_listeners)) {
        if (!texts[int(listener.first)].isEmpty())
            listener.second->sendEvent(texts[int(listener.first)], "status");
    }
}

ZRHttpReply Portal::events(Side side)
{
    const QByteArray now = QJsonDocument(status(side)).toJson(QJsonDocument::Compact);
    return guarded(
        ZRHttpReply::eventStream([this, now, side](std::shared_ptr<ZRHttpStream> stream) {
            stream->sendEvent(now, "status");
            QMutexLocker lock(&m_listening);
            m_listeners.append({ side, std::move(stream) });
        }));
}

void Portal::setSetup(Setup *setup)
{
    m_setup = setup;
}

void Portal::setWhereabouts(
    ZRServiceAnnouncer *announcer, const QString &name, const QString &scheme)
{
    m_announcer = announcer;
    m_name = name;
    m_scheme = scheme;
}

QStringList Portal::ownNames() const
{
    QStringList names { QHostInfo::localHostName(), m_name };
    if (m_announcer && m_announcer->isAnnounced())
        names.append(m_announcer->hostName().section(QLatin1Char('.'), 0, 0));
    return names;
}

void Portal::addRoutes(ZRHttpRouter &router, Side side)
{
    // What the device tells about itself (its interfaces, the networks in reach) is no business
    // of another site either, and neither is making it scan: every route checks the request.
    const auto route = [this, &router](RequestType method, const QString &path,
                           const ZRHttpRouter::Handler &handler) {
        router.route(method, path, [this, handler](const ZRHttpRequest &request) {
            if (isCaptive(request))
                return toSetupPage();
            const QString refusal = crossSiteRefusal(request, ownNames());
            if (!refusal.isEmpty())
                return failure(403, refusal);
            if (request.pathOnly().startsWith(QLatin1String("/api/"))) {
                if (const auto refused = m_access->check(request))
                    return guarded(*refused);
            }
            serviceUnavailable = false;
            const ZRHttpReply reply = handler(request);
            return serviceUnavailable
                ? failure(503, "the network service does not answer; try again shortly")
                : reply;
        });
    };
    for (const auto &guard : Guards)
        router.setDefaultHeader(guard.first, guard.second);
    // The files too are behind the checks. In setup mode nothing else is found; otherwise each
    // file has a route of its own, so a path of none is left to the others (405, 404).
    const ZRHttpRouter::Handler files = ZRHttpRouter::fileHandler("/", ":/portal");
    if (m_setup) {
        route(RequestGet, "/*", files);
    } else {
        route(RequestGet, "/", files);
        for (const QString &name : QDir(QStringLiteral(":/portal")).entryList(QDir::Files))
            route(RequestGet, "/" + name, files);
    }
    route(RequestGet, "/api/interfaces",
        [this](const ZRHttpRequest &) { return guarded(ZRHttpReply::json(interfaces())); });
    route(RequestGet, "/api/status", [this, side](const ZRHttpRequest &request) {
        const bool in = m_access->isLoggedIn(request);
        QJsonObject answer = in ? status(side) : passerByStatus();
        answer.insert("loggedIn", in);
        answer.insert("passwordSet", m_access->hasPassword());
        return guarded(ZRHttpReply::json(answer));
    });
    route(RequestPost, "/api/password",
        [this](const ZRHttpRequest &request) { return guarded(m_access->setPassword(request)); });
    route(RequestPost, "/api/login",
        [this](const ZRHttpRequest &request) { return guarded(m_access->login(request)); });
    route(RequestPost, "/api/logout",
        [this](const ZRHttpRequest &request) { return guarded(m_access->logout(request)); });
    route(RequestGet, "/api/scan",
        [this](const ZRHttpRequest &) { return guarded(ZRHttpReply::json(scan())); });
    route(RequestPost, "/api/join",
        [this, side](const ZRHttpRequest &request) { return join(request, side); });
    route(RequestGet, "/api/report", [this](const ZRHttpRequest &) { return report(); });
    route(RequestGet, "/api/events", [this, side](const ZRHttpRequest &) { return events(side); });
    if (!m_setup)
        return;
    // Every other page of any name leads to the setup page too; of the device's own, none.
    const auto notFound = [](const ZRHttpRequest &) { return failure(404, "Not Found"); };
    for (const char *check : ConnectivityChecks)
        route(RequestGet, check, notFound);
}

bool Portal::isCaptive(const ZRHttpRequest &request) const
{
    if (!m_setup)
        return false;
    const QString path = request.pathOnly();
    return !isDeviceHost(request.headerValue("Host"), ownNames())
        || std::any_of(std::begin(ConnectivityChecks), std::end(ConnectivityChecks),
            [&path](const char *check) { return path == QLatin1String(check); });
}

QJsonObject Portal::interfaces()
{
    QJsonArray list;
    describe(
        list, m_manager->ethernetInterfaces(), "ethernet", m_manager->defaultEthernetInterface());
    describe(list, m_manager->wifiInterfaces(), "wifi", m_manager->defaultWifiInterface());
    return { { "interfaces", list } };
}

QJsonObject Portal::status(Side side)
{
    const QString wifi = m_manager->defaultWifiInterface();
    QJsonValue link; // null: no Wi-Fi interface
    if (!wifi.isEmpty()) {
        const bool connected = asked(m_manager->isWifiConnected(wifi));
        link = QJsonObject { { "interface", wifi }, { "connected", connected },
            { "network", nameOrNull(connected ? asked(m_manager->connectedAp()) : QString()) } };
    }
    const bool allowed = m_allowChanges || (m_setup && side == Side::AccessPoint);
    QJsonObject answer { { "changesAllowed", allowed }, { "wifi", link }, { "device", device() } };
    if (m_setup)
        answer.insert("setup", asked(m_setup->describe()));
    return answer;
}

QJsonObject Portal::passerByStatus() const
{
    return { { "device", QJsonObject { { "name", m_name } } },
        { "setupMode", m_setup != nullptr } };
}

// Where a phone or laptop finds the device once it is on their network: by its .local name,
// which some phones do not resolve (several Android versions), so by its address too.
QJsonObject Portal::device()
{
    const int port = m_port;
    const bool announced = m_announcer && m_announcer->isAnnounced();
    const QString host = announced ? m_announcer->hostName() : m_name + QLatin1String(".local");
    const bool usual = (m_scheme == QLatin1String("http") && port == 80)
        || (m_scheme == QLatin1String("https") && port == 443);
    const QString url
        = QStringLiteral("%1://%2%3/")
              .arg(m_scheme, host, usual ? QString() : QLatin1Char(':') + QString::number(port));
    QJsonArray addresses; // of the networks it is on, not of its own access point
    for (const QNetworkInterface &each :
        m_manager->ethernetInterfaces() + m_manager->wifiInterfaces()) {
        for (const QNetworkAddressEntry &entry : each.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()
                && ip.toString() != Setup::Address)
                addresses.append(ip.toString());
        }
    }
    const QString note = port == 0
        ? QStringLiteral("The portal listens on this device alone (--listen), so no other "
                         "device reaches it on the network.")
        : QStringLiteral("Some Android phones do not open .local names: then use the device's "
                         "address, shown here once it has joined and in your router's list of "
                         "connected devices.");
    return { { "name", m_name }, { "host", host }, { "announced", announced },
        { "url", port == 0 ? QJsonValue() : QJsonValue(url) }, { "addresses", addresses },
        { "note", note } };
}

// Any page may ask, and a scan runs a root tool for seconds: requests that come while one runs
// wait for it, and those of the next ten seconds get its result too.
QJsonObject Portal::scan()
{
    constexpr qint64 ReuseMs = 10000;
    const bool beside = m_setup && m_setup->isUp(); // the radio's mode changes what it sees
    QMutexLocker lock(&m_scanning);
    if (!m_scannedAt.isValid() || m_scannedAt.hasExpired(ReuseMs) || beside != m_scannedBeside) {
        m_lastScan = freshScan();
        m_scannedBeside = beside;
        m_scannedAt.start();
        if (serviceUnavailable)
            m_scannedAt.invalidate(); // the next request asks again
        else
            broadcast("scan", m_lastScan);
    }
    return m_lastScan;
}

QJsonObject Portal::freshScan()
{
    QList<WifiAp> networks = asked(m_manager->apList());
    QDateTime keptAt; // the radio may not scan while it serves the access point
    if (networks.isEmpty() && m_setup)
        networks = m_setup->keptNetworks(&keptAt);
    QJsonObject answer { { "interface", nameOrNull(m_manager->defaultWifiInterface()) },
        { "networks", strongestCells(networks) } };
    if (keptAt.isValid())
        answer.insert("keptSince", keptAt.toString(Qt::ISODate));
    return answer;
}

ZRHttpReply Portal::join(const ZRHttpRequest &request, Side side)
{
    // The access point's own clients are the people setting the device up.
    if (!m_allowChanges && !(m_setup && side == Side::AccessPoint))
        return failure(403, "refused: the portal was started without --allow-changes");
    if (!isJson(request))
        return failure(415, "the body must be JSON, sent as application/json");
    QJsonParseError error;
    const QJsonDocument body = request.json(&error);
    if (body.isNull())
        return failure(400,
            QStringLiteral("bad JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    const QJsonValue ssid = body.object().value("ssid");
    const QJsonValue passphrase = body.object().value("passphrase");
    if (!body.isObject())
        return failure(400, "the body must be a JSON object");
    if (!ssid.isString() || ssid.toString().isEmpty())
        return failure(400, "\"ssid\" must be a non-empty string");
    if (!passphrase.isString() && !passphrase.isUndefined())
        return failure(400, "\"passphrase\" must be a string");

    if (m_setup) {
        // Answered at once: the access point, and with it the client, goes off the air.
        if (!m_setup->requestJoin(ssid.toString(), passphrase.toString()))
            return failure(409, "another join is under way");
        broadcast("join", { { "ssid", ssid }, { "outcome", "joining" } });
        return guarded(
            ZRHttpReply::json(QJsonObject { { "ssid", ssid }, { "outcome", "joining" },
                                  { "message", "Joining; /api/status tells how it went." } },
                202));
    }
    std::unique_lock<QMutex> joining(m_joining, std::try_to_lock);
    if (!joining.owns_lock())
        return failure(409, "another join is under way");
    broadcast("join", { { "ssid", ssid }, { "outcome", "joining" } });
    const int result
        = asked(m_manager->connectToAp(ssid.toString(), passphrase.toString(), QString()));
    const QJsonObject outcome = joinOutcome(ssid.toString(), result);
    broadcast("join", outcome);
    broadcastStatus();
    return guarded(ZRHttpReply::json(outcome));
}

ZRHttpReply Portal::report()
{
    ZRHttpMultiPart parts(MultipartMixed);
    parts.append(jsonPart("status", status()));
    parts.append(jsonPart("scan", scan()));
    ZRHttpReply reply;
    reply.setMultipart(parts);
    return guarded(reply);
}
