#include "netsystem_p.h"

#include "netdriver_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <signal.h>

#include <atomic>
#include <memory>

namespace {
constexpr int CaptureLimitMs = 30000;
constexpr qint64 SmallFileBytes = 4096;

std::atomic<NetSystem *> installedSystem { nullptr };
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
    QProcess::execute(program, arguments);
}

QByteArray NetSystem::capture(
    const QString &program, const QStringList &arguments, const QByteArray &input)
{
    // Deleting the process ends a tool that is still running after the limit.
    const auto process = std::make_unique<QProcess>();
    process->start(program, arguments, QIODevice::ReadWrite);
    if (!input.isNull()) {
        process->write(input);
        process->closeWriteChannel();
    }
    process->waitForFinished(CaptureLimitMs);
    return process->readAllStandardOutput();
}

bool NetSystem::startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
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

bool NetSystem::signalProcess(qint64 pid, int signal)
{
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

bool NetSystem::hasService()
{
    return NetServiceDriver::isPresent();
}

bool NetSystem::serviceManages(const QString &interface)
{
    return NetServiceDriver::manages(interface);
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
