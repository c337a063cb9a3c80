#include "zrlogging_p.h"

// Warnings and above unless the application or QT_LOGGING_RULES asks for more, as Qt's own
// categories do: the trace lines are for developers, and formatting them costs every request.
Q_LOGGING_CATEGORY(lcSocket, "zrnet.socket", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTcp, "zrnet.tcp", QtWarningMsg)
Q_LOGGING_CATEGORY(lcHttp, "zrnet.http", QtWarningMsg)
Q_LOGGING_CATEGORY(lcNet, "zrnet.net", QtWarningMsg)
Q_LOGGING_CATEGORY(lcLog, "zrnet.log", QtWarningMsg)
