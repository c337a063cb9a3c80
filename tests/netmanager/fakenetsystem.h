#ifndef FAKENETSYSTEM_H
#define FAKENETSYSTEM_H

#include "netsystem_p.h"

#include <QFile>
#include <QHash>
#include <QMap>
#include <QSet>
#include <QStringList>

#include <signal.h>

// Records every change to the machine as one line ("run ifconfig,eth0,up") and answers from
// canned outputs and files. Overrides every contact with the machine, so that nothing a test
// drives reaches the real one. Installed for its lifetime.
class FakeNetSystem : public NetSystem
{
public:
    // `interfaces` lists them as "name:kind" with kind w (Wi-Fi), e (Ethernet) or l (loopback).
    explicit FakeNetSystem(const QString &interfaces = QString())
    {
        for (const QString &entry : interfaces.split(QLatin1Char(' '))) {
            if (entry.isEmpty())
                continue;
            const QString kind = entry.section(QLatin1Char(':'), 1);
            list.append({ entry.section(QLatin1Char(':'), 0, 0),
                kind == QLatin1String("w")       ? QNetworkInterface::Wifi
                    : kind == QLatin1String("e") ? QNetworkInterface::Ethernet
                                                 : QNetworkInterface::Loopback,
                QNetworkInterface() });
        }
        install(this);
    }
    ~FakeNetSystem() override { install(nullptr); }

    // Outputs a tool gives on successive runs; the last one repeats.
    void setOutputs(const QString &program, const QList<QByteArray> &outputs)
    {
        this->outputs[program] = outputs;
    }

    QList<NetInterface> interfaces() override { return list; }
    void run(const QString &program, const QStringList &arguments) override
    {
        record(QStringLiteral("run"), program, arguments);
    }
    QByteArray capture(const QString &program, const QStringList &arguments,
        const QByteArray &input, int *exitCode) override
    {
        if (exitCode)
            *exitCode = 0;
        QString line = QStringLiteral("capture ")
            + (QStringList(program) + arguments).join(QLatin1Char(','));
        if (!input.isNull())
            line += QStringLiteral(" <") + QString::fromUtf8(input);
        calls.append(line);
        QList<QByteArray> &queue = outputs[program];
        return queue.size() > 1 ? queue.takeFirst() : queue.value(0);
    }
    bool startDetached(const QString &program, const QStringList &arguments) override
    {
        record(QStringLiteral("detached"), program, arguments);
        if (arguments.value(0) == QLatin1String("-c"))
            keepConfig(arguments.value(1));
        return !failingStarts.contains(program);
    }
    int execute(const QString &program, const QStringList &arguments) override
    {
        record(QStringLiteral("execute"), program, arguments);
        return 0;
    }
    bool makePrivateDirectory(const QString &) override { return true; }
    bool writePrivateFile(const QString &path, const QByteArray &data) override
    {
        files[path] = data;
        return true;
    }
    bool removeFile(const QString &path) override
    {
        files.remove(path);
        return true;
    }
    bool mayChangeNetwork() override { return true; }
    bool removeDirectory(const QString &) override { return true; }
    void sleep(int msecs) override { calls.append(QStringLiteral("sleep %1").arg(msecs)); }
    // Looking is not recorded, only what changes the machine.
    QString findProgram(const QString &program) override
    {
        return missingPrograms.contains(program) ? QString() : program;
    }
    bool exists(const QString &path) override
    {
        return !entries(path).isEmpty() || files.contains(path);
    }
    QStringList entries(const QString &directory) override
    {
        QStringList names;
        const QString prefix = directory + QLatin1Char('/');
        for (auto file = files.cbegin(); file != files.cend(); ++file) {
            const QString name = file.key().startsWith(prefix)
                ? file.key().mid(prefix.size()).section(QLatin1Char('/'), 0, 0)
                : QString();
            if (!name.isEmpty() && !names.contains(name))
                names.append(name);
        }
        return names;
    }
    QByteArray readFile(const QString &path) override { return files.value(path); }
    bool writeFile(const QString &path, const QByteArray &data) override
    {
        if (!files.contains(path) || readOnly.contains(path))
            return false;
        files[path] = data;
        calls.append(QStringLiteral("write %1 %2").arg(path, QString::fromUtf8(data)));
        return true;
    }
    // A process ends on SIGTERM or SIGKILL: its /proc files go.
    bool signalProcess(qint64 pid, int signal) override
    {
        calls.append(QStringLiteral("signal %1 %2").arg(pid).arg(signal));
        if (signal == SIGTERM || signal == SIGKILL) {
            const QString prefix = QStringLiteral("/proc/%1/").arg(pid);
            for (const QString &path : files.keys()) {
                if (path.startsWith(prefix))
                    files.remove(path);
            }
        }
        return true;
    }
    QString hostName() override { return machineName; }
    // The machine the fake stands for has no NetworkManager service.
    bool hasService() override { return false; }
    NetRoute route(const QString &) override { return NetRoute::Tools; }

    QStringList calls;
    QSet<QString> failingStarts;
    QString machineName; // none: the DHCP clients send no name
    // The machine's files by path; a directory is there when a file below it is.
    QMap<QString, QByteArray> files;
    QSet<QString> readOnly;
    // Programs (bare names or paths, as the controller names them) not installed; every other
    // one is.
    QSet<QString> missingPrograms;
    // The supplicant's configuration file as it was while the supplicant started.
    QString configName;
    QByteArray configBytes;

private:
    void record(const QString &way, const QString &program, const QStringList &arguments)
    {
        calls.append(
            way + QLatin1Char(' ') + (QStringList(program) + arguments).join(QLatin1Char(',')));
    }
    void keepConfig(const QString &name)
    {
        configName = name;
        configBytes = files.value(name);
    }

    QList<NetInterface> list;
    QHash<QString, QList<QByteArray>> outputs;
};

#endif // FAKENETSYSTEM_H
