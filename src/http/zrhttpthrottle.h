#ifndef ZRHTTPTHROTTLE_H
#define ZRHTTPTHROTTLE_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVector>

#include <functional>

class ZRHttpReply;
class ZRHttpRequest;

// Slows down the guessing of passwords. Before checking one, ask admit() with the client's
// address; after, record() whether it was right.
//
// Per address: the first freeFailures wrong tries cost nothing (people mistype), each one after
// waits twice as long as the one before, from firstDelayMs up to maxDelayMs, and from
// lockFailures on the address gets 429 until lockSeconds have passed since its last wrong try.
// One try at a time: another from the same address while one is being checked gets 429. A right
// password forgets the address's wrong tries.
//
// Over all addresses: beyond totalFailuresPerMinute wrong tries in the last minute every try
// gets 429 until the minute has room again, so an attack spread over many addresses gets no
// further than one would. (A rightful user then waits too: slower logins are the price of
// that.) At most maxAddresses are remembered; a new one beyond those is refused while all are
// locked out.
//
// Thread-safe; admit() never waits itself: the caller waits the time it names (on a handler's
// thread, which the one-at-a-time rule keeps to one per address).
class ZRNET_EXPORT ZRHttpThrottle
{
public:
    struct Options
    {
        int freeFailures = 3;
        int firstDelayMs = 200;
        int maxDelayMs = 4000;
        int lockFailures = 10;
        int lockSeconds = 300;
        int totalFailuresPerMinute = 30;
        int maxAddresses = 4096;
    };
    // What admit() decides: a wait before the check, or a refusal for so many seconds.
    struct Verdict
    {
        qint64 waitMs = 0;
        int retryAfterSeconds = 0; // > 0: refused, answer 429
        bool refused() const { return retryAfterSeconds > 0; }
    };
    // Milliseconds from any fixed start, never going back; a steady clock by default.
    using Clock = std::function<qint64()>;

    ZRHttpThrottle();
    explicit ZRHttpThrottle(Options options, Clock clock = Clock());
    ZRHttpThrottle(const ZRHttpThrottle &) = delete;
    ZRHttpThrottle &operator=(const ZRHttpThrottle &) = delete;

    // Unless refused, the try is under way until record() for the same address.
    Verdict admit(const QString &address);
    void record(const QString &address, bool succeeded);

    // admit(), the wait, check() and record() in one: nothing (and check() not called) when
    // refused, else check()'s answer. Blocks for the wait.
    enum class Outcome { Refused, Wrong, Right };
    Outcome attempt(
        const QString &address, const std::function<bool()> &check, Verdict *verdict = nullptr);

    // 429 with Retry-After, as {"error": ...} JSON.
    static ZRHttpReply refusal(const Verdict &verdict);

private:
    struct Entry
    {
        int failures = 0;
        qint64 lastFailureAt = 0;
        bool trying = false;
    };
    Verdict judge(const Entry &entry, qint64 at) const;
    void forgetOld(qint64 at);

    const Options m_options;
    const Clock m_clock;
    QMutex m_mutex; // guards the two below
    QHash<QString, Entry> m_addresses;
    QVector<qint64> m_recentFailures; // times of the last minute's wrong tries, oldest first
};

#endif // ZRHTTPTHROTTLE_H
