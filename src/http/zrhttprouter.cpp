#include "zrhttprouter.h"
#include "zrconnectiontable_p.h"
#include "zrhttpcompression_p.h"
#include "zrhttpconnection_p.h"
#include "zrhttpheadcheck_p.h"
#include "zrhttpname_p.h"
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

// The object a route's handler runs with. It counts as gone from the moment its destruction
// begins, under the lock that posting takes, so a call is either posted before (and dropped
// with the object's other events) or not at all: a QPointer could go null between its check
// and the post.
class Context
{
public:
    static std::shared_ptr<Context> watch(QObject *object)
    {
        auto context = std::make_shared<Context>();
        context->m_object = object;
        if (object) {
            context->m_watch = QObject::connect(
                object, &QObject::destroyed, [weak = std::weak_ptr<Context>(context)] {
                    if (const std::shared_ptr<Context> alive = weak.lock()) {
                        QMutexLocker lock(&alive->m_mutex);
                        alive->m_object = nullptr;
                    }
                });
        }
        return context;
    }
    ~Context() { QObject::disconnect(m_watch); }

    // Queued to the object's thread; false, call left as it was, when the object is gone.
    template <typename Call>
    bool post(Call &call)
    {
        QMutexLocker lock(&m_mutex);
        return m_object
            && QMetaObject::invokeMethod(m_object, std::move(call), Qt::QueuedConnection);
    }

private:
    QMutex m_mutex; // guards m_object
    QObject *m_object = nullptr; // null once gone
    QMetaObject::Connection m_watch;
};

struct Route
{
    RequestType method;
    QString path; // as given
    QStringList segments; // of the path, without a prefix's "/*"
    QStringList parameters; // per segment: the name of a "{name}", empty for a literal
    bool prefix;
    ZRHttpRouter::Handler handler;
    bool folder = false; // serveDirectory()'s: a file not there leaves the path to other routes
    std::shared_ptr<Context> context {}; // null: the handler runs on the connection's thread

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
    ZRHttpRouter::CorsOptions cors;
    QVector<ZRHttpRouter::BeforeHook> before;
    QVector<ZRHttpRouter::AfterHook> after;
    int compressFrom = -1; // the smallest body compressed; negative: none
    QVector<QPair<Route, ZRHttpRouter::BodyLimits>> bodyLimits; // by the route's path
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

// False when f threw: an exception must not leave the connection's thread, as it would end the
// process, nor a context's event loop.
template <typename F>
bool guarded(const char *what, const ZRHttpRequest &request, F f)
{
    try {
        f();
        return true;
    } catch (const std::exception &e) {
        qCWarning(lcHttp, "%s for %s %s threw: %s", what, qUtf8Printable(request.typeString()),
            qUtf8Printable(request.path()), e.what());
    } catch (...) {
        qCWarning(lcHttp, "%s for %s %s threw", what, qUtf8Printable(request.typeString()),
            qUtf8Printable(request.path()));
    }
    return false;
}

ZRHttpReply call(const Route &route, const ZRHttpRequest &request)
{
    ZRHttpReply reply;
    if (guarded("Handler", request, [&] { reply = route.handler(request); }))
        return reply;
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

// An opaque origin ("null": a sandboxed frame, a file, a redirect) is anybody's: never allowed
// with credentials, whatever the list says.
bool allows(const Config &config, const QByteArray &origin)
{
    return !origin.isEmpty() && !(config.cors.credentials && origin == "null")
        && (config.origins.contains(QString::fromUtf8(origin))
            || config.origins.contains(QStringLiteral("*")));
}

bool isPreflight(const Config &config, const ZRHttpRequest &request)
{
    return request.type() == RequestOptions
        && !request.headerValue("Access-Control-Request-Method").isEmpty()
        && allows(config, request.headerValue("Origin"));
}

ZRHttpReply preflightReply(
    const ZRHttpRouter::CorsOptions &cors, int methods, const ZRHttpRequest &request)
{
    ZRHttpReply reply(204);
    reply.setHeader("Access-Control-Allow-Methods", methodsText(withImplied(methods)));
    const QByteArray headers = cors.allowedHeaders.isEmpty()
        ? request.headerValue("Access-Control-Request-Headers")
        : cors.allowedHeaders.join(", ");
    if (!headers.isEmpty())
        reply.setHeader("Access-Control-Allow-Headers", headers);
    if (cors.maxAgeSeconds >= 0)
        reply.setHeader("Access-Control-Max-Age", QByteArray::number(cors.maxAgeSeconds));
    return reply;
}

int allMethods(const Config &config)
{
    int methods = 0;
    for (const Route &route : config.routes)
        methods |= methodBit(route.method);
    return methods;
}

// The route's reply, or the router's own; for a route with a context, nothing yet: the route,
// in *later, with the path's segments for its parameters.
ZRHttpReply dispatch(
    const Config &config, const ZRHttpRequest &request, const Route **later, QStringList *segments)
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
        return preflightReply(config.cors, allowed, request);
    std::stable_sort(serving.begin(), serving.end(),
        [method](const Route *a, const Route *b) { return beats(*a, *b, method); });
    for (const Route *route : qAsConst(serving)) {
        if (route->context) {
            *later = route;
            *segments = path.segments;
            return ZRHttpReply();
        }
        ZRHttpReply reply = callWithParameters(*route, path.segments, request);
        if (!route->folder || reply.status() != 404)
            return reply;
        allowed = allowedButFolders;
    }
    if (!allowed)
        return ZRHttpRouter::statusReply(404, request);
    return allowReply(method == RequestOptions ? 204 : 405, allowed, request);
}

// Every reply of a router with CORS varies with Origin, those to other origins or to none too:
// a cache must not hand one origin's answer to another.
void addCrossOriginHeaders(const Config &config, const ZRHttpRequest &request, ZRHttpReply &reply)
{
    if (config.origins.isEmpty())
        return;
    ZRHttpCompression::addVary(reply, "Origin");
    const QByteArray origin = request.headerValue("Origin");
    if (!allows(config, origin) || reply.hasHeader("Access-Control-Allow-Origin"))
        return;
    const bool anyOrigin = config.origins.contains(QStringLiteral("*"));
    reply.setHeader("Access-Control-Allow-Origin", anyOrigin ? QByteArrayLiteral("*") : origin);
    if (config.cors.credentials)
        reply.setHeader("Access-Control-Allow-Credentials", "true");
    if (!config.cors.exposedHeaders.isEmpty())
        reply.setHeader("Access-Control-Expose-Headers", config.cors.exposedHeaders.join(", "));
}

std::optional<ZRHttpReply> runBeforeHooks(const Config &config, const ZRHttpRequest &request)
{
    for (const ZRHttpRouter::BeforeHook &hook : config.before) {
        std::optional<ZRHttpReply> reply;
        if (!guarded("Before-hook", request, [&] { reply = hook(request); }))
            return ZRHttpRouter::statusReply(500, request);
        if (reply)
            return reply;
    }
    return std::nullopt;
}

// What every reply gets after its route: default headers, CORS headers, the after-hooks.
ZRHttpReply finish(const Config &config, const ZRHttpRequest &request, ZRHttpReply reply)
{
    for (const ZRHttpReply::Header &header : config.defaults) {
        if (!reply.hasHeader(header.first))
            reply.setHeader(header.first, header.second);
    }
    addCrossOriginHeaders(config, request, reply);
    ZRHttpCompression::compress(request, reply, config.compressFrom);
    for (const ZRHttpRouter::AfterHook &hook : config.after)
        guarded("After-hook", request, [&] { hook(request, reply); });
    return reply;
}

// From another thread than the connection's, once the server's signal has returned: inside the
// server, so that it cannot go meanwhile. Once it has gone, nobody is left to send: the
// connection ends unanswered.
void sendLater(const ZRHttpReply &reply, ZRSocketThread *thread)
{
    ZRHttpConnection *connection = ZRHttpConnection::of(thread);
    const std::shared_ptr<ZRConnectionTable> table
        = connection ? connection->table().shared_from_this() : nullptr;
    ZRServer *server = table ? table->enter() : nullptr;
    if (!server) {
        thread->stop();
        return;
    }
    static_cast<ZRHttpServer *>(server)->sendReply(reply, thread);
    table->leave();
}

// A request waiting for its route's handler on the context's thread. Answered once: by the
// handler's reply, or, should the call never run (its context went first), by 503 as it goes.
class Deferred
{
public:
    Deferred(std::shared_ptr<const Config> config, const Route &route, QStringList segments,
        const ZRHttpRequest &request, ZRSocketThread *thread)
        : m_config(std::move(config)), m_route(route), m_segments(std::move(segments)),
          m_request(request), m_thread(thread)
    { }
    Deferred(const Deferred &) = delete;
    Deferred &operator=(const Deferred &) = delete;
    ~Deferred()
    {
        if (!m_answered)
            answer(ZRHttpRouter::statusReply(503, m_request));
    }

    void run() { answer(callWithParameters(m_route, m_segments, m_request)); }
    // Still inside the server's signal: the context is gone already.
    void refuse(ZRHttpServer &server)
    {
        m_answered = true;
        server.sendReply(
            finish(*m_config, m_request, ZRHttpRouter::statusReply(503, m_request)), m_thread);
    }

private:
    void answer(const ZRHttpReply &reply)
    {
        m_answered = true;
        sendLater(finish(*m_config, m_request, reply), m_thread);
    }

    const std::shared_ptr<const Config> m_config; // keeps m_route
    const Route &m_route;
    const QStringList m_segments;
    const ZRHttpRequest m_request;
    ZRSocketThread *const m_thread;
    bool m_answered = false;
};

// The limits of the most specific path that matches; none (all negative) where none does.
ZRHttpRouter::BodyLimits bodyLimitsFor(const Config &config, const ZRHttpRequest &request)
{
    const ZRHttpPath path = ZRHttpPath::parse(request.path());
    const QPair<Route, ZRHttpRouter::BodyLimits> *best = nullptr;
    for (const auto &limits : config.bodyLimits) {
        if (path.kind == ZRHttpPath::Normal && limits.first.matches(path.segments)
            && (!best || compareSpecificity(limits.first, best->first) > 0))
            best = &limits;
    }
    return best ? best->second : ZRHttpRouter::BodyLimits();
}

// On the connection's thread, as soon as the head has arrived: the before-hooks, then the
// body's limits.
std::optional<ZRHttpReply> judgeHead(
    const Config &config, const ZRHttpRequest &head, ZRHttpBodyPlan *plan)
{
    if (std::optional<ZRHttpReply> reply = runBeforeHooks(config, head))
        return finish(config, head, std::move(*reply));
    const ZRHttpRouter::BodyLimits limits = bodyLimitsFor(config, head);
    plan->maxSize = limits.maxSize;
    plan->minimumRate = limits.minimumRate;
    plan->fileFrom = limits.fileFrom;
    plan->directory = limits.directory;
    return std::nullopt;
}

// On the connection's thread, inside the server's signal; the before-hooks ran on the head.
void respond(const std::shared_ptr<const Config> &config, ZRHttpServer &server,
    const ZRHttpRequest &request, ZRSocketThread *thread)
{
    const Route *later = nullptr;
    QStringList segments;
    ZRHttpReply reply = dispatch(*config, request, &later, &segments);
    if (!later) {
        server.sendReply(finish(*config, request, std::move(reply)), thread);
        return;
    }
    auto waiting = std::make_shared<Deferred>(config, *later, segments, request, thread);
    auto run = [waiting] { waiting->run(); };
    if (!later->context->post(run))
        waiting->refuse(server);
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
    serve(server);
}

ZRHttpRouter::~ZRHttpRouter()
{
    QMutexLocker lock(&m_mutex);
    for (const auto &served : qAsConst(m_served)) {
        QObject::disconnect(served.second);
        if (auto *server = qobject_cast<ZRHttpServer *>(served.first.data()))
            server->setHeadCheck(nullptr);
    }
}

void ZRHttpRouter::serve(ZRHttpServer *server)
{
    if (!server)
        return;
    QMutexLocker lock(&m_mutex);
    m_served.erase(std::remove_if(m_served.begin(), m_served.end(),
                       [](const auto &served) { return served.first.isNull(); }),
        m_served.end());
    for (const auto &served : qAsConst(m_served)) {
        if (served.first.data() == server)
            return;
    }
    // The server as context: the connection goes with it, whichever of the two goes first.
    const QMetaObject::Connection connection = QObject::connect(
        server, &ZRHttpServer::connectionThread, server,
        [routes = m_routes, server](const ZRHttpRequest &request, ZRSocketThread *thread) {
            respond(routes->snapshot(), *server, request, thread);
        },
        Qt::DirectConnection);
    m_served.append({ QPointer<QObject>(server), connection });
    server->setHeadCheck(std::make_shared<const ZRHttpHeadCheck>(
        [routes = m_routes](const ZRHttpRequest &head, ZRHttpBodyPlan *plan) {
            return judgeHead(*routes->snapshot(), head, plan);
        }));
}

void ZRHttpRouter::route(RequestType method, QString path, Handler handler)
{
    m_routes->add(makeRoute(method, std::move(path), std::move(handler)));
}

void ZRHttpRouter::route(RequestType method, QString path, QObject *context, Handler handler)
{
    Route route = makeRoute(method, std::move(path), std::move(handler));
    route.context = Context::watch(context);
    m_routes->add(std::move(route));
}

void ZRHttpRouter::webSocket(
    QString path, const ZRWebSocketOptions &options, ZRHttpReply::WebSocketOpened opened)
{
    route(RequestGet, std::move(path), [options, opened](const ZRHttpRequest &request) {
        return ZRHttpReply::webSocket(request, options, opened);
    });
}

void ZRHttpRouter::before(BeforeHook hook)
{
    m_routes->update([&](Config &config) { config.before.append(std::move(hook)); });
}

void ZRHttpRouter::after(AfterHook hook)
{
    m_routes->update([&](Config &config) { config.after.append(std::move(hook)); });
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
    serveDirectory(prefix, directory, DirectoryOptions());
}

bool ZRHttpRouter::serveDirectory(
    const QString &prefix, const QString &directory, const DirectoryOptions &options)
{
    ZRHttpReply check; // refuses what would split a reply, with the warning
    if (!options.cacheControl.isEmpty() && !check.setHeader("Cache-Control", options.cacheControl))
        return false;
    Route route = makeRoute(RequestGet, withoutTrailingSlashes(prefix) + QLatin1String("/*"),
        fileHandler(prefix, directory, options));
    route.folder = true;
    m_routes->add(std::move(route));
    return true;
}

ZRHttpRouter::Handler ZRHttpRouter::fileHandler(const QString &prefix, const QString &directory)
{
    return fileHandler(prefix, directory, DirectoryOptions());
}

ZRHttpRouter::Handler ZRHttpRouter::fileHandler(
    const QString &prefix, const QString &directory, const DirectoryOptions &options)
{
    const QString path = withoutTrailingSlashes(prefix);
    const int depth = path.isEmpty() ? 0 : ZRHttpPath::parse(path).segments.size();
    const auto folder = std::make_shared<ZRHttpFolder>(directory, options);
    return [folder, depth](const ZRHttpRequest &request) { return folder->serve(depth, request); };
}

void ZRHttpRouter::setBodyLimits(const QString &path, const BodyLimits &limits)
{
    m_routes->update([&](Config &config) {
        const Route route = makeRoute(RequestPost, path, Handler());
        auto same = std::find_if(config.bodyLimits.begin(), config.bodyLimits.end(),
            [&](const auto &l) { return l.first.path == path; });
        if (same == config.bodyLimits.end())
            config.bodyLimits.append({ route, limits });
        else
            *same = { route, limits };
    });
}

void ZRHttpRouter::setCompression(bool on, int minimumSize)
{
    m_routes->update(
        [&](Config &config) { config.compressFrom = on ? qMax(0, minimumSize) : -1; });
}

void ZRHttpRouter::setDefaultHeader(const QByteArray &name, const QByteArray &value)
{
    ZRHttpReply check; // refuses what would split a reply, with the warning
    if (!check.setHeader(name, value))
        return;
    m_routes->update([&](Config &config) {
        auto same = std::find_if(config.defaults.begin(), config.defaults.end(),
            [&](const ZRHttpReply::Header &h) { return zrSameName(h.first, name); });
        if (same == config.defaults.end())
            config.defaults.append({ name, value });
        else
            *same = { name, value };
    });
}

void ZRHttpRouter::setCors(const QStringList &allowedOrigins)
{
    setCors(allowedOrigins, CorsOptions());
}

// "*" with credentials would hand every page the answers meant for the user's own: refused, and
// no origin allowed rather than a setting the caller did not mean.
bool ZRHttpRouter::setCors(const QStringList &allowedOrigins, const CorsOptions &options)
{
    ZRHttpReply check; // refuses what would split a reply, with the warning
    if (!check.setHeader("Access-Control-Allow-Headers", options.allowedHeaders.join(", "))
        || !check.setHeader("Access-Control-Expose-Headers", options.exposedHeaders.join(", ")))
        return false;
    if (options.credentials && allowedOrigins.contains(QStringLiteral("*"))) {
        qCWarning(lcHttp,
            "CORS refused: \"*\" with credentials would let any page read the "
            "user's answers; name the origins");
        m_routes->update([](Config &config) { config.origins.clear(); });
        return false;
    }
    m_routes->update([&](Config &config) {
        config.origins = allowedOrigins;
        config.cors = options;
    });
    return true;
}

ZRHttpReply ZRHttpRouter::statusReply(int status, const ZRHttpRequest &request)
{
    const QByteArray reason = ZRHttpReply::reasonPhrase(status);
    if (prefersJson(request))
        return ZRHttpReply::json(
            QJsonObject { { QStringLiteral("error"), QString::fromLatin1(reason) } }, status);
    return ZRHttpReply::text(reason + '\n', status);
}
