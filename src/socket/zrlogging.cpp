#include "zrlogging_p.h"

Q_LOGGING_CATEGORY(lcSocket, "zrnet.socket")
Q_LOGGING_CATEGORY(lcTcp, "zrnet.tcp")
Q_LOGGING_CATEGORY(lcHttp, "zrnet.http")
Q_LOGGING_CATEGORY(lcNet, "zrnet.net")
Q_LOGGING_CATEGORY(lcLog, "zrnet.log")
