#ifndef ZRNET_EXAMPLES_QUIET_H
#define ZRNET_EXAMPLES_QUIET_H

// Examples are quiet unless run with --verbose: the library's trace lines are for developers.
// QT_LOGGING_RULES still overrides this either way.

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStringList>

// The program's arguments without --verbose.
inline QStringList quietUnlessVerbose(const QCoreApplication &app)
{
    QStringList arguments = app.arguments();
    if (arguments.removeAll(QStringLiteral("--verbose")) == 0)
        QLoggingCategory::setFilterRules(QStringLiteral("zrnet.*.debug=false"));
    return arguments;
}

#endif // ZRNET_EXAMPLES_QUIET_H
