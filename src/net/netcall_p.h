#ifndef NETCALL_P_H
#define NETCALL_P_H

#include "networkmanager.h"

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

// One public operation of the controller on the calling thread, alive for its length: the
// deadline every tool it runs must keep, the first failure it met, and the interfaces it holds.
// Everything below NetworkManager reaches the call of its thread through the statics, so that
// a driver or tool helper needs no parameter for it. An operation begun inside another one
// shares the outer call: its deadline, its failure, its report.
class NetCall
{
public:
    explicit NetCall(int limitMs);
    ~NetCall();
    NetCall(const NetCall &) = delete;
    NetCall &operator=(const NetCall &) = delete;

    // Holds `interface` for changes until the call ends: one change at a time per process. An
    // interface this thread holds already passes; another holder is waited for up to
    // BusyWaitMs, and the call's deadline starts once it is held. False, with Busy recorded,
    // when it was not released in time.
    bool hold(const QString &interface);
    // Ends the report: a success saying `success` when `ok`, else the first failure recorded,
    // or one of `fallback` saying `fallbackText` where none was. The outermost call makes it
    // the thread's lastFailure() as it ends.
    void conclude(bool ok, const QString &success,
        NetFailureReason fallback = NetFailureReason::None,
        const QString &fallbackText = QString());

    // Records a failure in the call of this thread, if there is one; the first one stands. An
    // empty `text` takes netFailureText(reason, detail).
    static void record(NetFailureReason reason, const QString &detail = QString(),
        const QString &text = QString());
    // The first failure recorded in this thread's call so far; None outside a call.
    static NetFailureReason recorded();
    // Milliseconds a tool may still take: what is left of the call's deadline, at most `capMs`
    // (all of `capMs` outside a call); 0 once it has passed.
    static int remainingMs(int capMs);
    static bool expired();

    // The thread's last report, as NetworkManager::lastFailure() gives it.
    static NetFailure last();
    // Sets it: a result delivered from the worker carries the report made there.
    static void setLast(const NetFailure &report);

    // Longer than any one operation's deadline, so a queue of two still gets through.
    static constexpr int BusyWaitMs = 25000;

private:
    NetCall *outer;
    const int limitMs;
    QDeadlineTimer deadline;
    NetFailure report;
    bool failed = false;
    QStringList held;
};

// The sentence for a failure of `reason`; `detail` is what NetFailure says it is, else the
// interface concerned.
QString netFailureText(NetFailureReason reason, const QString &detail);

#endif // NETCALL_P_H
