#ifndef ZRHTTPSTREAM_P_H
#define ZRHTTPSTREAM_P_H

#include <memory>
#include <mutex>

class ZRHttpConnection;
class ZRHttpStream;

// What a stream and its connection share. The connection links itself when the reply starts and
// unlinks itself, under the mutex, before it can go; so while linked it is alive to a producer
// holding the mutex. The mutex also guards the connection's output while it streams: whoever
// holds it sends.
struct ZRHttpStreamLink
{
    std::mutex mutex;
    ZRHttpConnection *connection = nullptr; // null once unlinked
    bool chunked = false; // set before the producer has the stream
    bool open = true; // the producer may write
    bool finished = false; // the producer ended the body
    std::weak_ptr<ZRHttpStream> stream; // told when the stream ends without its producer
};

#endif // ZRHTTPSTREAM_P_H
