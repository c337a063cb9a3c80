#ifndef ZRHTTPFILEBODY_P_H
#define ZRHTTPFILEBODY_P_H

class QByteArray;
class ZRHttpReply;
class ZRTransport;

// Sends a reply whose body is a file (ZRHttpReply::setBodyFile()) through a connection's
// transport, reading the file in pieces: through TLS, or for a file with no descriptor (a Qt
// resource). Memory stays small whatever the file's size. False when the file cannot be
// opened, ends early or a send fails or stalls too long, the client then having received part
// of the reply at most. (On a plain socket, a file with a descriptor of its own goes out with
// sendfile(): see zrOpenBodyFile().)
bool zrSendFileReply(ZRTransport &transport, const ZRHttpReply &reply, const QByteArray &head);
// The reply's body file, opened before anything is sent (so that a file gone since gets no
// head promising it) as a descriptor of its own for sendfile(), the caller's to close; -1 when
// it has none (a Qt resource) or cannot be opened.
int zrOpenBodyFile(const ZRHttpReply &reply);

#endif // ZRHTTPFILEBODY_P_H
