#ifndef ZRHTTPFILEBODY_P_H
#define ZRHTTPFILEBODY_P_H

class QByteArray;
class ZRHttpReply;
class ZRTransport;

// Sends a reply whose body is a file (ZRHttpReply::setBodyFile()) through a connection's
// transport: the head given, then the file's range straight from the file with sendfile() on a
// plain socket, or read and written in pieces (through TLS, or for a file with no descriptor,
// a Qt resource). Memory stays small whatever the file's
// size. False when the file cannot be opened, ends early or a send fails or stalls too long,
// the client then having received part of the reply at most.
bool zrSendFileReply(ZRTransport &transport, const ZRHttpReply &reply, const QByteArray &head);

#endif // ZRHTTPFILEBODY_P_H
