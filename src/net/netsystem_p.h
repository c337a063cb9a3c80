#ifndef NETSYSTEM_P_H
#define NETSYSTEM_P_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>

// One interface as the controller sees it. `handle` is what the public lists hand out;
// a fake system may leave it invalid.
struct NetInterface
{
    QString name;
    QNetworkInterface::InterfaceType kind = QNetworkInterface::Unknown;
    QNetworkInterface handle;
};

// Who carries out the controller's calls for an interface: the tools where the NetworkManager
// service is absent (no bus, or no owner of its name) or does not manage the interface; the
// service where it does; nobody where the bus or the service did not answer within its bound,
// or answered the question with an error: the call then fails at once and runs no tool.
enum class NetRoute { Tools, Service, Failing };

// Everything the interface controller needs from the machine, so that its logic can be
// driven against a recording fake. The base class is the real machine.
class ZRNET_AUTOTEST_EXPORT NetSystem
{
public:
    virtual ~NetSystem();

    // All interfaces, in the order the kernel reports them.
    virtual QList<NetInterface> interfaces();
    // Every tool runs in a process group of its own, for at most 30 seconds and never past
    // the deadline of the operation (NetCall) that runs it; one still running then is ended
    // with its group, and the operation records TimedOut. One that cannot start records
    // ToolMissing. Once the deadline has passed, nothing more starts.
    //
    // Runs a tool to its end; its output goes to ours, its exit code is dropped.
    virtual void run(const QString &program, const QStringList &arguments);
    // Runs a tool and returns what it printed on standard output. A non-null `input` is
    // written to its standard input, which is then closed. `exitCode`, when given, gets the
    // tool's exit code, -1 when it did not start, crashed or ran over.
    virtual QByteArray capture(const QString &program, const QStringList &arguments,
        const QByteArray &input = QByteArray(), int *exitCode = nullptr);
    // Starts a tool that runs on by itself; false when it could not be started.
    virtual bool startDetached(const QString &program, const QStringList &arguments);
    // Runs a tool and returns its exit code; -1 when it could not be started, crashed or ran
    // over (and was ended).
    virtual int execute(const QString &program, const QStringList &arguments);
    virtual void sleep(int msecs);

    // Where `program` would be started from: a path is taken as it is, a bare name is looked up
    // on the search path as QProcess looks it up; empty when no executable file is there.
    virtual QString findProgram(const QString &program);
    // Whether a file or directory (of /sys, say) is there.
    virtual bool exists(const QString &path);
    // The names in a directory, without "." and ".."; empty when it cannot be read.
    virtual QStringList entries(const QString &directory);
    // The start of a small file (of /proc or /sys, a pid file), at most 4 KiB; empty when it
    // cannot be read.
    virtual QByteArray readFile(const QString &path);
    // Writes `data` to a file that is already there; false when it is missing or refuses.
    virtual bool writeFile(const QString &path, const QByteArray &data);
    // Makes `path` (and its missing parents) a directory that only its owner can enter, mode
    // 0700; false when it cannot be made so.
    virtual bool makePrivateDirectory(const QString &path);
    // Creates or replaces a file readable by its owner only (mode 0600) holding `data`.
    virtual bool writePrivateFile(const QString &path, const QByteArray &data);
    // Removes a file; true when it is gone.
    virtual bool removeFile(const QString &path);
    // Whether this process may change interfaces: root, or CAP_NET_ADMIN.
    virtual bool mayChangeNetwork();
    // Removes a directory and everything in it; true when it is gone.
    virtual bool removeDirectory(const QString &path);
    // Sends `signal` to process `pid`; false when it could not be sent.
    virtual bool signalProcess(qint64 pid, int signal);
    // The machine's host name, as the kernel keeps it.
    virtual QString hostName();

    // Whether the NetworkManager service owns its name on the system bus, and who carries out
    // the calls for `interface`. Asks the bus only.
    virtual bool hasService();
    virtual NetRoute route(const QString &interface);

    // The system in use: the real machine unless a test installed another one.
    static NetSystem *current();
    // Installs `system` (owned by the caller); nullptr goes back to the real machine.
    static void install(NetSystem *system);
};

#endif // NETSYSTEM_P_H
