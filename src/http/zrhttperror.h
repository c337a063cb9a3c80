#ifndef ZRHTTPERROR_H
#define ZRHTTPERROR_H

#include "zrnet_global.h"

// Why the HTTP server could not serve a request: the codes its error(int) signal carries.
// The server answers each refused request itself, with "Connection: close" and an empty body:
//   MalformedRequest        request line is not three tokens  400 Bad Request
//   BadRequestType          method outside the table          501 Not Implemented
//   InvalidRequestProtocol  protocol not starting with HTTP   400 Bad Request
//   InvalidRequestHeader    header line without a colon       400 Bad Request
//   HeaderBlockTooLarge     header block over 8 KiB           431 Request Header Fields Too Large
//   BodyTooLarge            body over the server's maximum    413 Content Too Large
//   BadBodyFraming          unusable Content-Length, Transfer-Encoding or chunks
//                           400 Bad Request (501 for an unknown transfer coding)
// SendError means a reply could not be sent whole.
enum class ZRHttpError : int {
    None = 0,
    SendError = -901,
    MalformedRequest = -902,
    BadRequestType = -903,
    InvalidRequestProtocol = -904,
    InvalidRequestHeader = -905,
    HeaderBlockTooLarge = -906,
    BodyTooLarge = -907,
    BadBodyFraming = -908
};

// The server's debug text for a code, e.g. "Malformed request."; empty for None.
ZRNET_EXPORT const char *toString(ZRHttpError error);

#endif // ZRHTTPERROR_H
