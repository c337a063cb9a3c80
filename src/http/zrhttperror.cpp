#include "zrhttperror.h"

const char *toString(ZRHttpError error)
{
    switch (error) {
    case ZRHttpError::None:
        return "";
    case ZRHttpError::SendError:
        return "Send error";
    case ZRHttpError::MalformedRequest:
        return "Malformed request.";
    case ZRHttpError::BadRequestType:
        return "Bad request type";
    case ZRHttpError::InvalidRequestProtocol:
        return "Invalid request protocol";
    case ZRHttpError::InvalidRequestHeader:
        return "Invalid request header";
    case ZRHttpError::HeaderBlockTooLarge:
        return "Request header block too large";
    case ZRHttpError::BodyTooLarge:
        return "Request body too large";
    case ZRHttpError::BadBodyFraming:
        return "Bad request body framing";
    case ZRHttpError::UnsupportedVersion:
        return "Unsupported HTTP version";
    case ZRHttpError::ExpectationFailed:
        return "Expectation failed";
    case ZRHttpError::BodyNotStored:
        return "Request body not stored";
    }
    return "";
}
