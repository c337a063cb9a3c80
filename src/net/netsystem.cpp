#include "netsystem_p.h"

#include "netcall_p.h"
#include "netdriver_p.h"
#include "zrlogging_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {
constexpr int CaptureLimitMs = 30000;
constexpr int EndWaitMs = 2000;
constexpr qint64 SmallFileBytes = 4096;

std::atomic<NetSystem *> installedSystem { nullptr };

// A tool in a process group of its own, so that ending it ends whatever it started beside it
// (a shell's children, a helper it waits for).
class ToolProcess : public QProcess
{
public:
    ToolProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
    }
#endif
};

QString toolName(const QString &program)
{
    return QFileInfo(program).fileName();
}

// Starts the tool unless the call's time is up, `input` (if any) then the end of its standard
// input written to it; false, with the reason recorded, when it did not start.
bool start(ToolProcess &process, const QString &program, const QStringList &arguments,
    const QByteArray &input = QByteArray())
{
    if (NetCall::expired()) {
        NetCall::record(NetFailureReason::TimedOut, toolName(program));
        return false;
    }
    process.start(program, arguments);
    if (!process.waitForStarted(NetCall::remainingMs(CaptureLimitMs))) {
        if (process.error() == QProcess::FailedToStart)
            NetCall::record(NetFailureReason::ToolMissing, toolName(program));
        return false;
    }
    if (!input.isNull())
        process.write(input);
    process.closeWriteChannel();
    return true;
}

// Waits for the tool within what is left of the call's time, at most 30 s. One that outlives
// it is ended with its process group, and the call records the timeout. True when it ended by
// itself.
bool finish(ToolProcess &process, const QString &program)
{
    if (process.waitForFinished(NetCall::remainingMs(CaptureLimitMs)))
        return true;
    const auto group = static_cast<pid_t>(process.processId());
    if (group > 0) {
        ::kill(-group, SIGKILL);
        ::kill(group, SIGKILL); // in case it had not made its group yet
    }
    process.waitForFinished(EndWaitMs);
    qCDebug(lcNet, "%s ran out of time and was ended", qUtf8Printable(toolName(program)));
    NetCall::record(NetFailureReason::TimedOut, toolName(program));
    return false;
}
} // namespace

NetSystem::~NetSystem() = default;

QList<NetInterface> NetSystem::interfaces()
{
    QList<NetInterface> result;
    for (const QNetworkInterface &handle : QNetworkInterface::allInterfaces())
        result.append({ handle.name(), handle.type(), handle });
    return result;
}

void NetSystem::run(const QString &program, const QStringList &arguments)
{
    ToolProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    if (start(process, program, arguments))
        finish(process, program);
}

QByteArray NetSystem::capture(
    const QString &program, const QStringList &arguments, const QByteArray &input, int *exitCode)
{
    ToolProcess process;
    if (exitCode)
        *exitCode = -1;
    if (!start(process, program, arguments, input))
        return QByteArray();
    if (finish(process, program) && exitCode && process.exitStatus() == QProcess::NormalExit)
        *exitCode = process.exitCode();
    return process.readAllStandardOutput();
}

bool NetSystem::startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

int NetSystem::execute(const QString &program, const QStringList &arguments)
{
    // Its complaints reach our standard error; its standard output goes nowhere, so that no
    // daemon it leaves behind holds a pipe of ours.
    ToolProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    if (!start(process, program, arguments) || !finish(process, program)
        || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

void NetSystem::sleep(int msecs)
{
    QThread::msleep(static_cast<unsigned long>(msecs));
}

QString NetSystem::findProgram(const QString &program)
{
    if (!program.contains(QLatin1Char('/')))
        return QStandardPaths::findExecutable(program);
    const QFileInfo file(program);
    return file.isFile() && file.isExecutable() ? program : QString();
}

bool NetSystem::exists(const QString &path)
{
    return QFileInfo::exists(path);
}

QStringList NetSystem::entries(const QString &directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
}

QByteArray NetSystem::readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(SmallFileBytes) : QByteArray();
}

bool NetSystem::writeFile(const QString &path, const QByteArray &data)
{
    // Never creates a file: this writes only to switches the kernel already offers.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    return file.write(data) == data.size();
}

bool NetSystem::makePrivateDirectory(const QString &path)
{
    if (!QDir().mkpath(path))
        return false;
    // One that was there already must be a directory of ours, not a link to elsewhere.
    struct stat status;
    const QByteArray name = QFile::encodeName(path);
    return ::lstat(name.constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid() && ::chmod(name.constData(), 0700) == 0;
}

bool NetSystem::writePrivateFile(const QString &path, const QByteArray &data)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool written = ::fchmod(fd, 0600) == 0;
    for (qint64 done = 0; written && done < data.size();) {
        const ssize_t step = ::write(fd, data.constData() + done, size_t(data.size() - done));
        written = step > 0 || (step < 0 && errno == EINTR);
        done += qMax<ssize_t>(step, 0);
    }
    return ::close(fd) == 0 && written;
}

bool NetSystem::removeFile(const QString &path)
{
    return QFile::remove(path) || !QFileInfo::exists(path);
}

bool NetSystem::mayChangeNetwork()
{
    constexpr quint64 NetAdmin = quint64(1) << 12; // CAP_NET_ADMIN
    if (::geteuid() == 0)
        return true;
    for (const QByteArray &line : readFile(QStringLiteral("/proc/self/status")).split('\n')) {
        if (line.startsWith("CapEff:"))
            return line.mid(7).trimmed().toULongLong(nullptr, 16) & NetAdmin;
    }
    return false;
}

bool NetSystem::removeDirectory(const QString &path)
{
    QDir(path).removeRecursively();
    return !QFileInfo::exists(path);
}

bool NetSystem::signalProcess(qint64 pid, int signal)
{
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

QString NetSystem::hostName()
{
    return QSysInfo::machineHostName();
}

bool NetSystem::hasService()
{
    return NetServiceDriver::isPresent();
}

NetRoute NetSystem::route(const QString &interface)
{
    return NetServiceDriver::route(interface);
}

NetSystem *NetSystem::current()
{
    static NetSystem machine;
    NetSystem *installed = installedSystem.load();
    return installed ? installed : &machine;
}

void NetSystem::install(NetSystem *system)
{
    installedSystem.store(system);
}
