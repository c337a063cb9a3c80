#include "netsystem_p.h"

#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <atomic>
#include <memory>

namespace {
constexpr int CaptureLimitMs = 30000;

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

bool NetSystem::exists(const QString &path)
{
    return QFileInfo::exists(path);
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
