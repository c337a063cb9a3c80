#ifndef ZRHTTPROUTER_H
#define ZRHTTPROUTER_H

#include "zrhttpreply.h"
#include "zrhttprequest.h"
#include "zrwebsocket.h"

#include <QMetaObject>
#include <QMutex>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

class QObject;
class ZRHttpServer;
struct ZRHttpRoutes;

// Answers every request of the servers it serves from a table of routes: a method, a path and
// a handler that returns the reply. Nothing else should answer those servers' requests; one
// router may serve several (plain HTTP and HTTPS, say), with the same routes.
//
// A route's path is matched segment by segment against the request's path, split at "/" as
// sent and each segment then percent-decoded, with dot segments resolved (a path climbing
// above the root gets 400 and reaches no handler). A segment "{name}" matches any non-empty
// segment, which the handler reads with ZRHttpRequest::pathParameter(name): an encoded "/"
// stays inside its segment. A path ending in "/*" is a prefix: "/files/*" matches every path
// that starts with "/files/". The most specific route wins: a path of literal segments beats
// one with parameters (a literal segment before a parameter at the first place they differ),
// any whole path beats a prefix, a longer prefix a shorter one. A target in absolute form
// ("http://host/path") routes by its path.
//
// A GET route answers HEAD too (the server then sends no body). A path no route matches gets
// 404; a matched path asked with a method no route of it has gets 405 with Allow, or 204 with
// Allow for OPTIONS; "OPTIONS *" gets 204 with every method of the router. A handler or hook
// that throws gets its client a 500 and the log a warning; the server serves on. These answers
// of the router's own are statusReply()s.
//
// Every request goes through the before-hooks, then its route (or the router's own answer),
// then the default headers, then the CORS headers, then the after-hooks, which so see the reply
// as it goes out, but for what the server itself writes (Content-Length, Date, Connection).
// Preflights pass through the hooks too, and browsers send them without credentials: a check
// of credentials in a before-hook lets OPTIONS requests go on.
//
// Handlers and hooks run on the connection's thread, as many at once as there are requests, so
// what they share must be thread-safe. A route given a context runs its handler, and then the
// after-hooks, on the context's thread instead (the 503 of a context gone meanwhile, on the
// thread that destroyed it). Every other function may be called at any time from any thread.
// Destroying the router stops its answers to every server it serves; a handler already running
// still answers, as does one waiting for its context. A server destroyed while a handler waits
// for its context leaves that request unanswered: its connection ends.
class ZRNET_EXPORT ZRHttpRouter
{
public:
    using Handler = std::function<ZRHttpReply(const ZRHttpRequest &)>;
    // A reply answers the request instead of its route; nothing lets it go on.
    using BeforeHook = std::function<std::optional<ZRHttpReply>(const ZRHttpRequest &)>;
    // May change the reply (add headers), or only look (an access log).
    using AfterHook = std::function<void(const ZRHttpRequest &, ZRHttpReply &)>;

    // What setCors() allows beyond the origins.
    struct CorsOptions
    {
        // Requests with credentials (cookies, HTTP authentication) too: every reply to an
        // allowed origin says Access-Control-Allow-Credentials: true, and names that origin.
        // Only listed origins: "*" is refused (see setCors()), and "null" never allowed.
        bool credentials = false;
        // How long a browser may keep a preflight's answer (Access-Control-Max-Age), in
        // seconds; negative sends none, and the browser's own default holds.
        int maxAgeSeconds = -1;
        // The request headers allowed (Access-Control-Allow-Headers on preflights); empty
        // allows those a preflight asks for.
        QList<QByteArray> allowedHeaders;
        // The reply headers a page's script may read beyond the simple ones
        // (Access-Control-Expose-Headers).
        QList<QByteArray> exposedHeaders;
    };

    // How serveDirectory() answers beyond the files themselves.
    struct DirectoryOptions
    {
        // The Cache-Control of its answers with a file (200, 206, 304): "max-age=3600",
        // "no-cache", ...; empty sends none.
        QByteArray cacheControl;
        // A file's gzip copy beside it ("app.js.gz" beside "app.js") answers the clients
        // whose Accept-Encoding takes gzip, with the file's type, Content-Encoding: gzip and
        // Vary: Accept-Encoding; ranges then count the copy's bytes.
        bool precompressed = true;
    };

    // How the body of a request to some paths is taken (setBodyLimits()). Each negative value
    // leaves the server's own.
    struct BodyLimits
    {
        qint64 maxSize = -1; // larger bodies get 413 (ZRHttpServer::maxBodySize())
        qint64 minimumRate = -1; // bytes a second after the head (minimumReceiveRate())
        // A body of this many bytes or more, and every chunked one, goes to a file as it comes
        // rather than into memory (ZRHttpRequest::bodyFile()); negative: never.
        qint64 fileFrom = -1;
        QString directory; // of those files; empty: a private temporary folder of the process
    };

    // Serves server (see serve()) unless it is null.
    explicit ZRHttpRouter(ZRHttpServer *server = nullptr);
    ~ZRHttpRouter();
    ZRHttpRouter(const ZRHttpRouter &) = delete;
    ZRHttpRouter &operator=(const ZRHttpRouter &) = delete;

    // Answers server's requests too, from now on, until the router or the server goes; a server
    // served already is served once.
    void serve(ZRHttpServer *server);

    // Replaces a route of the same method and path.
    void route(RequestType method, QString path, Handler handler);
    // A route whose handler runs on context's thread, through its event loop (which must run),
    // while the request waits; the reply goes out as the handler returns. A context that is gone
    // (destroyed before the request, or while it waits; or null) answers 503.
    void route(RequestType method, QString path, QObject *context, Handler handler);

    // A WebSocket at path (GET, see ZRHttpReply::webSocket()): the before-hooks run on the
    // upgrade request as on any other, so a check of credentials there guards it too.
    void webSocket(
        QString path, const ZRWebSocketOptions &options, ZRHttpReply::WebSocketOpened opened);


    // The body of a request to path (a route's path: exact, with "{name}" segments, or a
    // "/prefix/*"; the most specific wins) is taken as limits say, whatever its method, and
    // judged before any of it is read: a larger Content-Length gets 413 at once, and a chunked
    // body the moment it passes the maximum. Replaces the limits of the same path.
    void setBodyLimits(const QString &path, const BodyLimits &limits);

    // Hooks run in the order added, each on every request of the router. The before-hooks run as
    // soon as a request's head has arrived, before any of its body is read, and so see no body:
    // a hook's answer goes out at once, without "100 Continue", and a body still to come is
    // never read (the connection then closes).
    void before(BeforeHook hook);
    void after(AfterHook hook);

    // GET and HEAD of the files below directory (a folder, or a Qt resource folder such as
    // ":/page") under prefix ("/static" serves "/static/app.css"); index.html for a folder.
    // The type comes from the file's name, else its content; ETag and Last-Modified answer
    // If-None-Match and If-Modified-Since with 304, and one "Range: bytes=" range gets 206 (or
    // 416). Bodies are sent from the file. Nothing outside directory is ever served: not a
    // name with "/" or NUL in a segment, nor a symbolic link leading out (404); the folder's
    // own real path is looked up again whenever directory leads to another folder. A file that
    // is not there leaves the path to the other routes: the next most specific, else their
    // 405, else 404.
    void serveDirectory(const QString &prefix, const QString &directory);
    // The same with options; false, with a warning, and nothing served, when the Cache-Control
    // value would split a reply.
    bool serveDirectory(
        const QString &prefix, const QString &directory, const DirectoryOptions &options);
    // The handler that serveDirectory() routes at prefix + "/*", for a route of one's own that
    // wraps it (a check before the files, say). Such a route is an ordinary one: a file not
    // there gets 404.
    static Handler fileHandler(const QString &prefix, const QString &directory);
    static Handler fileHandler(
        const QString &prefix, const QString &directory, const DirectoryOptions &options);

    // Replies whose body, held in memory, is at least minimumSize bytes of text, JSON,
    // JavaScript, XML or SVG go gzip-encoded to the clients whose Accept-Encoding takes gzip,
    // after the CORS headers and before the after-hooks, with Vary: Accept-Encoding (and an ETag
    // of their own). Off at first. Left as they are: files over 256 KiB, which go from the file
    // (serveDirectory() sends their precompressed copies instead), streams, ranges, replies that
    // name a Content-Encoding of their own, and bodies that would not shrink.
    void setCompression(bool on, int minimumSize = 1024);

    // Adds the header to every reply of this router, its own included, unless the handler
    // set that header itself. Replaces an earlier default of the same name.
    void setDefaultHeader(const QByteArray &name, const QByteArray &value);

    // Cross-origin requests from these origins ("https://app.example:8443"; "*" for any) are
    // allowed: a preflight (OPTIONS with Origin and Access-Control-Request-Method) to a path
    // that has routes gets 204 with Access-Control-Allow-Methods and -Headers, and every reply
    // to an allowed Origin carries Access-Control-Allow-Origin. Requests from other origins are
    // answered as usual, without those headers, so browsers refuse them. With any origin
    // allowed, every reply says Vary: Origin, so that no cache hands one origin's answer to
    // another.
    void setCors(const QStringList &allowedOrigins);
    // The same, with options; false, with a warning, and nothing changed, when a header name
    // would split a reply; false, with a warning, and no origin allowed, for "*" with
    // credentials.
    bool setCors(const QStringList &allowedOrigins, const CorsOptions &options);

    // The router's own answer for a status: the reason phrase as {"error": "Not Found"} when
    // the request's Accept prefers application/json to text/plain, as plain text otherwise.
    static ZRHttpReply statusReply(int status, const ZRHttpRequest &request);

private:
    // Shared with the connections, which outlive the router when a handler is running.
    const std::shared_ptr<ZRHttpRoutes> m_routes;
    QMutex m_mutex; // guards m_served
    QVector<QPair<QPointer<QObject>, QMetaObject::Connection>> m_served; // by server
};

#endif // ZRHTTPROUTER_H
