#ifndef ZRHTTPSTATICFILES_P_H
#define ZRHTTPSTATICFILES_P_H

#include "zrhttpreply.h"

class QString;
class ZRHttpRequest;

// The answer to a GET or HEAD of a file below directory, the request's path segments after
// the first depth naming it (ZRHttpRouter::serveDirectory()).
ZRHttpReply zrServeFile(const QString &directory, int depth, const ZRHttpRequest &request);

#endif // ZRHTTPSTATICFILES_P_H
