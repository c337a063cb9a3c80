#ifndef ZRLOGGING_P_H
#define ZRLOGGING_P_H

#include <QLoggingCategory>

// The library's diagnostics; applications silence them with QT_LOGGING_RULES,
// e.g. "zrnet.*.debug=false".
Q_DECLARE_LOGGING_CATEGORY(lcSocket) // zrnet.socket
Q_DECLARE_LOGGING_CATEGORY(lcTcp) // zrnet.tcp
Q_DECLARE_LOGGING_CATEGORY(lcHttp) // zrnet.http
Q_DECLARE_LOGGING_CATEGORY(lcNet) // zrnet.net
Q_DECLARE_LOGGING_CATEGORY(lcLog) // zrnet.log

#endif // ZRLOGGING_P_H
