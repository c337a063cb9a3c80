#ifndef STUBNET_H
#define STUBNET_H

// The stub tools' side of a test that tests/tools/stubnet-run started: their log of runs and
// their canned outputs, in the directory ZRNET_STUB_DIR names.

#include <networkmanager.h>

#include <QtTest>

#include <functional>

namespace stubnet {

const char StubMarker[] = "zrnet stub tool";

// One run of a stub tool, as it logged itself.
struct StubCall
{
    QString program;
    QStringList arguments;
    QByteArray input;
    bool hasInput = false;
    QString configMode;
    QByteArray config;
};

inline StubCall parseCall(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split('\t');
    StubCall call;
    call.program = QString::fromUtf8(fields.value(0));
    for (const QByteArray &field : fields.mid(1)) {
        const QByteArray value = QByteArray::fromBase64(field.mid(2));
        if (field.startsWith("a:"))
            call.arguments << QString::fromUtf8(value);
        else if (field.startsWith("i:"))
            call.hasInput = true, call.input = value;
        else if (field.startsWith("m:"))
            call.configMode = QString::fromLatin1(field.mid(2));
        else if (field.startsWith("f:"))
            call.config = value;
    }
    return call;
}

inline bool isStub(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll().contains(StubMarker);
}

// Skips the test unless stubnet-run started it; the stub directory otherwise.
#define STUBNET_DIR_OR_SKIP(dir)                                                                   \
    do {                                                                                           \
        if (qEnvironmentVariableIsEmpty("ZRNET_STUBNET")) {                                        \
            const QString why = qEnvironmentVariable("ZRNET_STUBNET_UNAVAILABLE",                  \
                QStringLiteral("not started by tests/tools/stubnet-run"));                         \
            QSKIP(qPrintable(why));                                                                \
        }                                                                                          \
        dir = qEnvironmentVariable("ZRNET_STUB_DIR");                                              \
    } while (false)

inline void clearLog(const QString &stubDir)
{
    QFile::remove(stubDir + QStringLiteral("/associated"));
    QFile log(stubDir + QStringLiteral("/log"));
    QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
}

// A manager made before the log is cleared: what its constructor switched on is not the test's.
class Manager : public NetworkManager
{
public:
    explicit Manager(const QString &stubDir) { clearLog(stubDir); }
};

inline QList<StubCall> calls(const QString &stubDir)
{
    QFile log(stubDir + QStringLiteral("/log"));
    if (!log.open(QIODevice::ReadOnly))
        qFatal("no stub log in %s", qPrintable(stubDir));
    QList<StubCall> result;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (!line.isEmpty())
            result << parseCall(line);
    }
    return result;
}

// Program and arguments of each logged call, "@" standing for the stub directory on PATH.
inline QStringList callLines(const QString &stubDir)
{
    QStringList lines;
    for (const StubCall &call : calls(stubDir)) {
        QString program = call.program;
        program.replace(stubDir + QStringLiteral("/bin/"), QStringLiteral("@"));
        lines << (QStringList(program) + call.arguments).join(QLatin1Char(','));
    }
    return lines;
}

inline void setOutput(const QString &stubDir, const QString &tool, const QByteArray &output)
{
    QFile file(stubDir + QStringLiteral("/out/") + tool);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(output), qint64(output.size()));
}

// Puts every copy of a stub tool (on PATH, in /sbin) aside for its lifetime, so that it is
// missing.
class Aside
{
public:
    explicit Aside(const QString &tool)
    {
        const QString inSbin = QStringLiteral("/sbin/") + tool;
        for (int i = 0; i < 8; ++i) { // PATH holds it a few times at most
            QString path = QStandardPaths::findExecutable(tool);
            if (path.isEmpty() && QFileInfo(inSbin).isExecutable())
                path = inSbin;
            if (path.isEmpty())
                return;
            if (!isStub(path) || !QFile::rename(path, path + QStringLiteral(".aside")))
                qFatal("cannot put %s aside", qPrintable(path));
            moved << path;
        }
    }
    ~Aside()
    {
        for (const QString &path : moved)
            QFile::rename(path + QStringLiteral(".aside"), path);
    }

private:
    QStringList moved;
};
using Operation = std::function<void(NetworkManager &, const QString &)>;

// The operations that run tools to their end and return nothing, by name.
inline const QMap<QString, Operation> &blockingOperations()
{
    static const QMap<QString, Operation> table {
        { QStringLiteral("stopEthernetInterface"), &NetworkManager::stopEthernetInterface },
        { QStringLiteral("stopDhcp"), &NetworkManager::stopDhcp },
        { QStringLiteral("initializeWifiInterface"), &NetworkManager::initializeWifiInterface },
        { QStringLiteral("stopWifiInterface"), &NetworkManager::stopWifiInterface },
    };
    return table;
}

} // namespace stubnet

#endif // STUBNET_H
