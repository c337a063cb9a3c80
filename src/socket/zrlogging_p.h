#ifndef ZRLOGGING_P_H
#define ZRLOGGING_P_H

#include <QLoggingCategory>

// The library's diagnostics: warnings by default; applications turn the trace on with
// QT_LOGGING_RULES or QLoggingCategory::setFilterRules, e.g. "zrnet.*.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcSocket) // zrnet.socket
Q_DECLARE_LOGGING_CATEGORY(lcTcp) // zrnet.tcp
Q_DECLARE_LOGGING_CATEGORY(lcHttp) // zrnet.http
Q_DECLARE_LOGGING_CATEGORY(lcNet) // zrnet.net
Q_DECLARE_LOGGING_CATEGORY(lcLog) // zrnet.log

#endif // ZRLOGGING_P_H
