#include "zrhttprouter.h"
#include "zrhttppath_p.h"
#include "zrhttpserver.h"
#include "zrhttpstaticfiles_p.h"
#include "zrlogging_p.h"

#include <QJsonObject>
#include <QMutex>
#include <QVector>

#include <algorithm>
#include <climits>
#include <exception>

namespace {

struct Route
{
    RequestType method;
    QString path; // as given
    QStringList segments; // of the path, without a prefix's "/*"
    QStringList parameters; // per segment: the name of a "{name}", empty for a literal
    bool prefix;
    ZRHttpRouter::Handler handler;
    bool folder = false; // serveDirectory()'s: a file not there leaves the path to other routes

    bool matches(const QStringList &target) const
    {
        if (prefix ? target.size() <= segments.size() : target.size() != segments.size())
            return false;
        for (int i = 0; i < segments.size(); ++i) {
            if (parameters.at(i).isEmpty() ? target.at(i) != segments.at(i)
                                           : target.at(i).isEmpty())
                return false;
        }
        return true;
    }
};

// Positive when a is the more specific route, negative when b is.
int compareSpecificity(const Route &a, const Route &b)
{
    if (a.prefix != b.prefix)
        return a.prefix ? -1 : 1;
    if (a.segments.size() != b.segments.size())
        return a.segments.size() - b.segments.size();
    for (int i = 0; i < a.segments.size(); ++i) {
        const bool aIsParameter = !a.parameters.at(i).isEmpty();
        if (aIsParameter != !b.parameters.at(i).isEmpty())
            return aIsParameter ? -1 : 1;
    }
    return 0;
}

struct Config
{
    QVector<Route> routes;
    QList<ZRHttpReply::Header> defaults;
    QStringList origins; // empty: no cross-origin requests
};

int methodBit(RequestType method)
{
    return 1 << int(method);
}

// A route for GET answers HEAD, and every path answers OPTIONS.
int withImplied(int methods)
{
    methods |= methodBit(RequestOptions);
    return methods & methodBit(RequestGet) ? methods | methodBit(RequestHead) : methods;
}

QByteArray methodsText(int methods)
{
    QByteArray text;
    const auto &table = ZRHttpRequest::requestTypeString;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (methods & methodBit(it.key()))
            text += (text.isEmpty() ? "" : ", ") + it.value().toUtf8();
    }
    return text;
}

ZRHttpReply allowReply(int status, int methods, const ZRHttpRequest &request)
{
    ZRHttpReply reply
        = status == 204 ? ZRHttpReply(204) : ZRHttpRouter::statusReply(status, request);
    reply.setHeader(QByteArrayLiteral("Allow"), methodsText(withImplied(methods)));
    return reply;
}

// A HEAD is served by a HEAD route, else by the GET route of the same path.
bool serves(const Route &route, RequestType method)
{
    return route.method == method || (method == RequestHead && route.method == RequestGet);
}

bool beats(const Route &route, const Route &best, RequestType method)
{
    const int specificity = compareSpecificity(route, best);
    return specificity != 0 ? specificity > 0 : route.method == method;
}

ZRHttpReply call(const Route &route, const ZRHttpRequest &request)
{
    // An exception must not leave the connection's thread: it would end the process.
    try {
        return route.handler(request);
    } catch (const std::exception &e) {
        qCWarning(lcHttp, "Handler for %s %s threw: %s", qUtf8Printable(request.typeString()),
            qUtf8Printable(request.path()), e.what());
    } catch (...) {
        qCWarning(lcHttp, "Handler for %s %s threw", qUtf8Printable(request.typeString()),
            qUtf8Printable(request.path()));
    }
    return ZRHttpRouter::statusReply(500, request);
}

ZRHttpReply callWithParameters(
    const Route &route, const QStringList &segments, const ZRHttpRequest &request)
{
    if (std::all_of(route.parameters.cbegin(), route.parameters.cend(),
            [](const QString &name) { return name.isEmpty(); }))
        return call(route, request);
    ZRHttpRequest withParameters(request);
    for (int i = 0; i < route.parameters.size(); ++i) {
        if (!route.parameters.at(i).isEmpty())
            withParameters.setPathParameter(route.parameters.at(i), segments.at(i));
    }
    return call(route, withParameters);
}

bool allows(const Config &config, const QByteArray &origin)
{
    return !origin.isEmpty()
        && (config.origins.contains(QString::fromUtf8(origin))
            || config.origins.contains(QStringLiteral("*")));
}

bool isPreflight(const Config &config, const ZRHttpRequest &request)
{
    return request.type() == RequestOptions
        && !request.headerValue("Access-Control-Request-Method").isEmpty()
        && allows(config, request.headerValue("Origin"));
}

ZRHttpReply preflightReply(int methods, const ZRHttpRequest &request)
{
    ZRHttpReply reply(204);
    reply.setHeader("Access-Control-Allow-Methods", methodsText(withImplied(methods)));
    const QByteArray headers = request.headerValue("Access-Control-Request-Headers");
    if (!headers.isEmpty())
        reply.setHeader("Access-Control-Allow-Headers", headers);
    return reply;
}

int allMethods(const Config &config)
{
    int methods = 0;
    for (const Route &route : config.routes)
        methods |= methodBit(route.method);
    return methods;
}

ZRHttpReply dispatch(const Config &config, const ZRHttpRequest &request)
{
    const ZRHttpPath path = ZRHttpPath::parse(request.path());
    const RequestType method = request.type();
    if (path.kind == ZRHttpPath::Asterisk && method == RequestOptions)
        return allowReply(204, allMethods(config), request);
    if (path.kind != ZRHttpPath::Normal)
        return ZRHttpRouter::statusReply(400, request);
    QVector<const Route *> serving;
    int allowed = 0;
    int allowedButFolders = 0;
    for (const Route &route : config.routes) {
        if (!route.matches(path.segments))
            continue;
        allowed |= methodBit(route.method);
        allowedButFolders |= route.folder ? 0 : methodBit(route.method);
        if (serves(route, method))
            serving.append(&route);
    }
    if (allowed && isPreflight(config, request))
        return preflightReply(allowed, request);
    std::stable_sort(serving.begin(), serving.end(),
        [method](const Route *a, const Route *b) { return beats(*a, *b, method); });
    for (const Route *route : qAsConst(serving)) {
        ZRHttpReply reply = callWithParameters(*route, path.segments, request);
        if (!route->folder || reply.status() != 404)
            return reply;
        allowed = allowedButFolders;
    }
    if (!allowed)
        return ZRHttpRouter::statusReply(404, request);
    return allowReply(method == RequestOptions ? 204 : 405, allowed, request);
}

void addCrossOriginHeaders(const Config &config, const ZRHttpRequest &request, ZRHttpReply &reply)
{
    const QByteArray origin = request.headerValue("Origin");
    if (!allows(config, origin) || reply.hasHeader("Access-Control-Allow-Origin"))
        return;
    reply.setHeader("Access-Control-Allow-Origin",
        config.origins.contains(QStringLiteral("*")) ? QByteArrayLiteral("*") : origin);
    const QByteArray vary = reply.header("Vary");
    if (vary.isEmpty())
        reply.setHeader("Vary", "Origin");
    else if (!vary.toLower().contains("origin"))
        reply.setHeader("Vary", vary + ", Origin");
}

ZRHttpReply answer(const Config &config, const ZRHttpRequest &request)
{
    ZRHttpReply reply = dispatch(config, request);
    for (const ZRHttpReply::Header &header : config.defaults) {
        if (!reply.hasHeader(header.first))
            reply.setHeader(header.first, header.second);
    }
    addCrossOriginHeaders(config, request, reply);
    return reply;
}

// How much the Accept header wants a media type (RFC 9110 12.5.1): the weight of the most
// specific range that matches it, and that range's place in the list.
struct Preference
{
    double weight = 0;
    int specificity = -1;
    int place = INT_MAX;
};

Preference preference(const QByteArray &accept, const QByteArray &type)
{
    const QByteArray anySubtype = type.left(type.indexOf('/') + 1) + '*';
    Preference best;
    const QList<QByteArray> ranges = accept.split(',');
    for (int place = 0; place < ranges.size(); ++place) {
        const QList<QByteArray> parts = ranges.at(place).split(';');
        const QByteArray range = parts.first().trimmed().toLower();
        const int specificity = range == type ? 2
            : range == anySubtype             ? 1
            : range == "*/*"                  ? 0
                                              : -1;
        if (specificity <= best.specificity)
            continue;
        best = { 1, specificity, place };
        for (const QByteArray &parameter : parts) {
            const QByteArray trimmed = parameter.trimmed();
            if (trimmed.startsWith("q=") || trimmed.startsWith("Q="))
                best.weight = trimmed.mid(2).toDouble();
        }
    }
    return best;
}

bool prefersJson(const ZRHttpRequest &request)
{
    const QByteArray accept = request.headerValue("Accept");
    const Preference json = preference(accept, "application/json");
    const Preference text = preference(accept, "text/plain");
    return json.weight != text.weight ? json.weight > text.weight : json.place < text.place;
}

Route makeRoute(RequestType method, QString path, ZRHttpRouter::Handler handler)
{
    Route route { method, path, {}, {}, path.endsWith(QLatin1String("/*")), std::move(handler) };
    if (route.prefix)
        path.chop(2);
    if (!path.isEmpty() || !route.prefix)
        route.segments
            = path.mid(path.startsWith(QLatin1Char('/')) ? 1 : 0).split(QLatin1Char('/'));
    for (const QString &segment : qAsConst(route.segments)) {
        const bool parameter = segment.size() > 2 && segment.startsWith(QLatin1Char('{'))
            && segment.endsWith(QLatin1Char('}'));
        route.parameters.append(parameter ? segment.mid(1, segment.size() - 2) : QString());
    }
    return route;
}

} // namespace

struct ZRHttpRoutes
{
    // Replaces a route of the same method and path.
    void add(Route route)
    {
        update([&](Config &config) {
            auto same = std::find_if(config.routes.begin(), config.routes.end(),
                [&](const Route &r) { return r.method == route.method && r.path == route.path; });
            if (same == config.routes.end())
                config.routes.append(std::move(route));
            else
                *same = std::move(route);
        });
    }

    std::shared_ptr<const Config> snapshot()
    {
        QMutexLocker lock(&mutex);
        return config;
    }
    // Copy on write, so that requests being answered keep the configuration they started with.
    template <typename Change>
    void update(Change change)
    {
        QMutexLocker lock(&mutex);
        auto changed = std::make_shared<Config>(*config);
        change(*changed);
        config = std::move(changed);
    }

    QMutex mutex; // guards the pointer; a configuration, once published, never changes
    std::shared_ptr<const Config> config = std::make_shared<const Config>();
};

ZRHttpRouter::ZRHttpRouter(ZRHttpServer *server) : m_routes(std::make_shared<ZRHttpRoutes>())
{
    if (!server)
        return;
    // The server as context: the connection goes with it, whichever of the two goes first.
    m_connection = QObject::connect(
        server, &ZRHttpServer::connectionThread, server,
        [routes = m_routes, server](const ZRHttpRequest &request, ZRSocketThread *thread) {
            server->sendReply(answer(*routes->snapshot(), request), thread);
        },
        Qt::DirectConnection);
}

ZRHttpRouter::~ZRHttpRouter()
{
    QObject::disconnect(m_connection);
}

void ZRHttpRouter::route(RequestType method, QString path, Handler handler)
{
    m_routes->add(makeRoute(method, std::move(path), std::move(handler)));
}

namespace {

QString withoutTrailingSlashes(QString prefix)
{
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return prefix;
}

} // namespace

void ZRHttpRouter::serveDirectory(const QString &prefix, const QString &directory)
{
    Route route = makeRoute(RequestGet, withoutTrailingSlashes(prefix) + QLatin1String("/*"),
        fileHandler(prefix, directory));
    route.folder = true;
    m_routes->add(std::move(route));
}

ZRHttpRouter::Handler ZRHttpRouter::fileHandler(const QString &prefix, const QString &directory)
{
    const QString path = withoutTrailingSlashes(prefix);
    const int depth = path.isEmpty() ? 0 : ZRHttpPath::parse(path).segments.size();
    const auto folder = std::make_shared<ZRHttpFolder>(directory);
    return [folder, depth](const ZRHttpRequest &request) { return folder->serve(depth, request); };
}

void ZRHttpRouter::setDefaultHeader(const QByteArray &name, const QByteArray &value)
{
    ZRHttpReply check; // refuses what would split a reply, with the warning
    if (!check.setHeader(name, value))
        return;
    m_routes->update([&](Config &config) {
        auto same = std::find_if(
            config.defaults.begin(), config.defaults.end(), [&](const ZRHttpReply::Header &h) {
                return h.first.compare(name, Qt::CaseInsensitive) == 0;
            });
        if (same == config.defaults.end())
            config.defaults.append({ name, value });
        else
            *same = { name, value };
    });
}

void ZRHttpRouter::setCors(const QStringList &allowedOrigins)
{
    m_routes->update([&](Config &config) { config.origins = allowedOrigins; });
}

ZRHttpReply ZRHttpRouter::statusReply(int status, const ZRHttpRequest &request)
{
    const QByteArray reason = ZRHttpReply::reasonPhrase(status);
    if (prefersJson(request))
        return ZRHttpReply::json(
            QJsonObject { { QStringLiteral("error"), QString::fromLatin1(reason) } }, status);
    return ZRHttpReply::text(reason + '\n', status);
}
