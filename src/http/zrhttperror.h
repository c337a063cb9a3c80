#ifndef ZRHTTPERROR_H
#define ZRHTTPERROR_H

#include "zrnet_global.h"

// Why the HTTP server could not serve a request: the codes its error(int) signal carries.
// The server answers each refused request itself, with "Connection: close" and the reason
// phrase as a short text body:
//   MalformedRequest        400  request line not method, target and version between single
//                                spaces, or a bare CR or LF in it, or over 4 empty lines first
//   BadRequestType          501  method outside the table (letter case counts)
//   InvalidRequestProtocol  400  version not HTTP/digit.digit
//   InvalidRequestHeader    400  header line not a name, a colon and a value, or a bare CR or LF
//                                in it; Host missing (HTTP/1.1), repeated or not a host
//   HeaderBlockTooLarge     431  header block over 8 KiB
//   BodyTooLarge            413  body over the server's maximum
//   BadBodyFraming          400  unusable Content-Length, Transfer-Encoding, chunks or trailers
//                                (501 for an unknown transfer coding)
//   UnsupportedVersion      505  an HTTP version other than 1.0 and 1.1
//   ExpectationFailed       417  an Expect other than 100-continue
//   BodyNotStored           507  a body bound for a file that could not be written
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
    BadBodyFraming = -908,
    UnsupportedVersion = -909,
    ExpectationFailed = -910,
    BodyNotStored = -911
};

// The server's debug text for a code, e.g. "Malformed request."; empty for None.
ZRNET_EXPORT const char *toString(ZRHttpError error);

#endif // ZRHTTPERROR_H
