#ifndef ZRNET_EXAMPLES_QUIET_H
#define ZRNET_EXAMPLES_QUIET_H

// The library is quiet by default; --verbose turns its trace lines on. QT_LOGGING_RULES still
// overrides this either way.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>

// The program's arguments without --verbose.
inline QStringList quietUnlessVerbose(const QCoreApplication &app)
{
    QStringList arguments = app.arguments();
    if (arguments.removeAll(QStringLiteral("--verbose")) > 0)
        QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=true"));
    return arguments;
}

#endif // ZRNET_EXAMPLES_QUIET_H
