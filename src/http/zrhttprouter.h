#ifndef ZRHTTPROUTER_H
#define ZRHTTPROUTER_H

#include "zrhttpreply.h"
#include "zrhttprequest.h"

#include <QMetaObject>
#include <QString>

#include <functional>
#include <memory>

class ZRHttpServer;
struct ZRHttpRoutes;

// Answers every request of one server from a table of routes: a method, a path and a handler
// that returns the reply. Nothing else should answer that server's requests.
//
// A route's path matches the request's pathOnly() exactly or, when it ends in "/*", as a
// prefix: "/files/*" matches every path that starts with "/files/". An exact route beats a
// prefix, a longer prefix a shorter one. A GET route answers HEAD too (the server then sends
// no body). A path no route matches gets 404; a matched path asked with a method no route of
// it has gets 405 with Allow, or 204 with Allow for OPTIONS. A handler that throws gets its
// client a 500 and the log a warning; the server serves on.
//
// Handlers run on the connection's thread, as many at once as there are requests, so what
// they share must be thread-safe. route() may be called at any time from any thread.
// Destroying the router stops its answers; a handler already running still answers.
class ZRNET_EXPORT ZRHttpRouter
{
public:
    using Handler = std::function<ZRHttpReply(const ZRHttpRequest &)>;

    explicit ZRHttpRouter(ZRHttpServer *server);
    ~ZRHttpRouter();
    ZRHttpRouter(const ZRHttpRouter &) = delete;
    ZRHttpRouter &operator=(const ZRHttpRouter &) = delete;

    // Replaces a route of the same method and path.
    void route(RequestType method, QString path, Handler handler);

private:
    // Shared with the connection, which outlives the router when a handler is running.
    const std::shared_ptr<ZRHttpRoutes> m_routes;
    QMetaObject::Connection m_connection;
};

#endif // ZRHTTPROUTER_H
