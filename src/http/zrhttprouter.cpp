#include "zrhttprouter.h"
#include "zrhttpserver.h"
#include "zrlogging_p.h"

#include <QMutex>
#include <QVector>

#include <algorithm>
#include <exception>
#include <limits>

namespace {

struct Route
{
    RequestType method;
    QString path; // a prefix without its "*"
    bool prefix;
    ZRHttpRouter::Handler handler;

    bool matches(const QString &target) const
    {
        return prefix ? target.startsWith(path) : target == path;
    }
    // Exact before any prefix, then the longer prefix.
    int specificity() const { return prefix ? path.size() : std::numeric_limits<int>::max(); }
};

using Table = QVector<Route>;

int methodBit(RequestType method)
{
    return 1 << int(method);
}

QByteArray allowText(int methods)
{
    QByteArray text;
    const auto &table = ZRHttpRequest::requestTypeString;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (methods & methodBit(it.key()))
            text += (text.isEmpty() ? "" : ", ") + it.value().toUtf8();
    }
    return text;
}

ZRHttpReply plainStatus(int status)
{
    return ZRHttpReply::text(ZRHttpReply::reasonPhrase(status) + '\n', status);
}

// A HEAD is served by a HEAD route, else by the GET route of the same path.
bool serves(const Route &route, RequestType method)
{
    return route.method == method || (method == RequestHead && route.method == RequestGet);
}

bool beats(const Route &route, const Route &best, RequestType method)
{
    if (route.specificity() != best.specificity())
        return route.specificity() > best.specificity();
    return route.method == method;
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
    return plainStatus(500);
}

ZRHttpReply answer(const Table &table, const ZRHttpRequest &request)
{
    const QString path = request.pathOnly();
    const RequestType method = request.type();
    const Route *best = nullptr;
    int allowed = 0;
    for (const Route &route : table) {
        if (!route.matches(path))
            continue;
        allowed |= methodBit(route.method);
        if (serves(route, method) && (!best || beats(route, *best, method)))
            best = &route;
    }
    if (best)
        return call(*best, request);
    if (!allowed)
        return plainStatus(404);
    allowed |= methodBit(RequestOptions);
    if (allowed & methodBit(RequestGet))
        allowed |= methodBit(RequestHead);
    ZRHttpReply reply = method == RequestOptions ? ZRHttpReply(204) : plainStatus(405);
    reply.setHeader(QByteArrayLiteral("Allow"), allowText(allowed));
    return reply;
}

} // namespace

struct ZRHttpRoutes
{
    std::shared_ptr<const Table> snapshot()
    {
        QMutexLocker lock(&mutex);
        return table;
    }

    QMutex mutex; // guards the pointer; a table, once published, never changes
    std::shared_ptr<const Table> table = std::make_shared<const Table>();
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

// Copy on write, so that requests being answered keep the table they started with.
void ZRHttpRouter::route(RequestType method, QString path, Handler handler)
{
    const bool prefix = path.endsWith(QLatin1String("/*"));
    if (prefix)
        path.chop(1);
    QMutexLocker lock(&m_routes->mutex);
    auto table = std::make_shared<Table>(*m_routes->table);
    auto same = std::find_if(table->begin(), table->end(),
        [&](const Route &r) { return r.method == method && r.path == path && r.prefix == prefix; });
    Route route { method, path, prefix, std::move(handler) };
    if (same == table->end())
        table->append(std::move(route));
    else
        *same = std::move(route);
    m_routes->table = std::move(table);
}
