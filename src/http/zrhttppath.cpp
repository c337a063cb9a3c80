#include "zrhttppath_p.h"

#include <QUrl>

namespace {

// The path of an absolute-form target, from the "/" after its authority.
QString withoutSchemeAndAuthority(const QString &target)
{
    for (const char *scheme : { "http://", "https://" }) {
        if (target.startsWith(QLatin1String(scheme), Qt::CaseInsensitive)) {
            const int slash = target.indexOf(QLatin1Char('/'), int(qstrlen(scheme)));
            return slash < 0 ? QStringLiteral("/") : target.mid(slash);
        }
    }
    return target;
}

} // namespace

ZRHttpPath ZRHttpPath::parse(const QString &target)
{
    ZRHttpPath path;
    const QString raw = withoutSchemeAndAuthority(target.left(target.indexOf(QLatin1Char('?'))));
    if (raw == QLatin1String("*")) {
        path.kind = Asterisk;
        return path;
    }
    if (!raw.startsWith(QLatin1Char('/')))
        return path;
    path.kind = Normal;
    const QStringList sent = raw.mid(1).split(QLatin1Char('/'));
    for (int i = 0; i < sent.size(); ++i) {
        const QString &raw = sent.at(i);
        const QString segment
            = raw.contains(QLatin1Char('%')) ? QUrl::fromPercentEncoding(raw.toUtf8()) : raw;
        const bool last = i == sent.size() - 1;
        if (segment == QLatin1String("..")) {
            if (path.segments.isEmpty()) {
                path.kind = Climbing;
                return path;
            }
            path.segments.removeLast();
        }
        if (segment != QLatin1String(".") && segment != QLatin1String(".."))
            path.segments.append(segment);
        else if (last)
            path.segments.append(QString()); // "/a/.." is "/", "/a/." is "/a/"
    }
    return path;
}

QString ZRHttpPath::joined() const
{
    return QLatin1Char('/') + segments.join(QLatin1Char('/'));
}
