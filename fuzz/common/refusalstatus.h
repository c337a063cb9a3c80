#ifndef ZRNET_FUZZ_REFUSALSTATUS_H
#define ZRNET_FUZZ_REFUSALSTATUS_H

#include "zrhttperror.h"

// The status a request refused for error is answered with. Bad body framing is 400, or 501
// for an unknown transfer coding, which only the status given tells apart.
inline int refusalStatus(ZRHttpError error, int httpStatus)
{
    switch (error) {
    case ZRHttpError::BadRequestType:
        return 501;
    case ZRHttpError::HeaderBlockTooLarge:
        return 431;
    case ZRHttpError::BodyTooLarge:
        return 413;
    case ZRHttpError::BadBodyFraming:
        return httpStatus == 501 ? 501 : 400;
    case ZRHttpError::UnsupportedVersion:
        return 505;
    case ZRHttpError::ExpectationFailed:
        return 417;
    case ZRHttpError::BodyNotStored:
        return 507;
    default:
        return 400;
    }
}

#endif // ZRNET_FUZZ_REFUSALSTATUS_H
