#ifndef ZRHTTPPATH_P_H
#define ZRHTTPPATH_P_H

#include <QString>
#include <QStringList>

// The path of a request target as routes and files see it (RFC 9112 3.2, RFC 3986 5.2.4).
// The target is cut at "?", an absolute form ("http://host/path") gives its path, and the
// path is split at "/" as sent; only then is each segment percent-decoded, so an encoded
// "/" stays inside its segment. Dot segments ("." and "..", encoded or not) are then
// resolved on the list; one that would climb above the root makes the path Climbing.
struct ZRHttpPath
{
    enum Kind { Normal, Asterisk, Climbing, NotAPath };

    static ZRHttpPath parse(const QString &target);
    // "/" and the segments joined by "/"; only meaningful for Normal.
    QString joined() const;

    Kind kind = NotAPath;
    QStringList segments; // "/" is one empty segment, "/a/" is "a" and an empty one
};

#endif // ZRHTTPPATH_P_H
