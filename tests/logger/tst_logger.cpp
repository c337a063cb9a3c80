#include <logger.h>

#include "workdir.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QtTest>

#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

class tst_Logger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void lineFormat_data();
    void lineFormat();
    void existingContentKept();
    void unopenableLog_data();
    void unopenableLog();
    void threadsNeverInterleave();

private:
    static QByteArray readLog();
    static void expectEcho(const QString &level, const QString &message);

    QScopedPointer<TemporaryWorkingDirectory> m_workDir;
};

using LogCall = std::function<void(const QString &)>;
Q_DECLARE_METATYPE(LogCall)

static const char timestampPattern[] = "(\\w{3} \\w{3} \\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4})";

void tst_Logger::initTestCase()
{
    // The echo is checked too, whatever QT_LOGGING_RULES the environment sets.
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.log.debug=true"));
}

void tst_Logger::init()
{
    m_workDir.reset(new TemporaryWorkingDirectory);
    QVERIFY(m_workDir->isValid());
}

void tst_Logger::cleanup()
{
    m_workDir.reset();
}

QByteArray tst_Logger::readLog()
{
    QFile file(QStringLiteral("libzrnet.log"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_Logger::expectEcho(const QString &level, const QString &message)
{
    const QString pattern = QLatin1Char('^') + QLatin1String(timestampPattern)
        + QLatin1String(" - ") + QRegularExpression::escape(level + QLatin1String(": ") + message)
        + QLatin1Char('$');
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(pattern));
}

void tst_Logger::lineFormat_data()
{
    QTest::addColumn<LogCall>("call");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("message");

    const LogCall info = Logger::logInfo;
    const LogCall error = Logger::logError;
    const LogCall debug = Logger::logDebug;
    const LogCall custom = [](const QString &m) { Logger::log(QStringLiteral("Notice"), m); };

    QTest::newRow("info") << info << "Info"
                          << "connection made";
    QTest::newRow("error") << error << "Error"
                           << "cannot connect to host 10.0.0.1";
    QTest::newRow("debug") << debug << "Debug"
                           << "x";
    QTest::newRow("any level word") << custom << "Notice"
                                    << "level first, message second";
    QTest::newRow("empty message") << info << "Info"
                                   << "";
    QTest::newRow("percent stays literal") << error << "Error"
                                           << "%s %d %1 100%";
    QTest::newRow("line feed kept") << info << "Info"
                                    << "first\nsecond";
    QTest::newRow("surrounding blanks kept") << info << "Info"
                                             << "  padded \t";
}

void tst_Logger::lineFormat()
{
    QFETCH(LogCall, call);
    QFETCH(QString, level);
    QFETCH(QString, message);

    expectEcho(level, message);
    const QDateTime before = QDateTime::currentDateTime();
    call(message);
    const QDateTime after = QDateTime::currentDateTime();

    const QString text = QString::fromLocal8Bit(readLog());
    const QRegularExpression line(QLatin1String("\\A") + QLatin1String(timestampPattern)
        + QLatin1String(" - ") + QRegularExpression::escape(level + QLatin1String(": ") + message)
        + QLatin1String("\n\\z"));
    const QRegularExpressionMatch match = line.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));

    const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::TextDate);
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before.addMSecs(-before.time().msec()));
    QVERIFY(stamp <= after);
}

void tst_Logger::existingContentKept()
{
    QFile file(QStringLiteral("libzrnet.log"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("earlier line\n");
    file.close();

    expectEcho(QStringLiteral("Info"), QStringLiteral("one"));
    expectEcho(QStringLiteral("Error"), QStringLiteral("two"));
    Logger::logInfo(QStringLiteral("one"));
    Logger::logError(QStringLiteral("two"));

    const QList<QByteArray> lines = readLog().split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), QByteArray("earlier line"));
    QVERIFY(lines.at(1).endsWith(" - Info: one"));
    QVERIFY(lines.at(2).endsWith(" - Error: two"));
    QCOMPARE(lines.at(3), QByteArray());
}

void tst_Logger::unopenableLog_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("log name is a directory") << "directory";
    QTest::newRow("working directory removed") << "removed";
    QTest::newRow("read-only working directory") << "read-only";
}

void tst_Logger::unopenableLog()
{
    QFETCH(QString, obstacle);

    const QString here = QDir::currentPath();
    if (obstacle == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(QStringLiteral("libzrnet.log")));
    } else if (obstacle == QLatin1String("removed")) {
        QVERIFY(QDir().mkdir(QStringLiteral("gone")));
        QVERIFY(QDir::setCurrent(QStringLiteral("gone")));
        QVERIFY(QDir(here).rmdir(QStringLiteral("gone")));
    } else {
        if (geteuid() == 0)
            QSKIP("permissions do not bind root");
        QVERIFY(QFile::setPermissions(here, QFile::ReadOwner | QFile::ExeOwner));
    }

    expectEcho(QStringLiteral("Error"), QStringLiteral("still echoed"));
    Logger::logError(QStringLiteral("still echoed"));

    QFile::setPermissions(here, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(QFileInfo(here + QLatin1String("/libzrnet.log")).isDir()
        || !QFile::exists(here + QLatin1String("/libzrnet.log")));
}

// Some lines are longer than any stream or file buffer, so a writer that
// hands a line over in pieces gets caught.
static int fillerLength(int n)
{
    return n % 100 == 0 ? 40000 : 100 + n % 50;
}

void tst_Logger::threadsNeverInterleave()
{
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 500;

    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.log.debug=false"));
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t] {
            const QChar letter(QLatin1Char(char('a' + t)));
            for (int n = 0; n < linesPerThread; ++n)
                Logger::logInfo(
                    QStringLiteral("t%1 n%2 ").arg(t).arg(n) + QString(fillerLength(n), letter));
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QLoggingCategory::setFilterRules(QStringLiteral("zrnet.log.debug=true"));

    const QByteArray log = readLog();
    QVERIFY(log.endsWith('\n'));
    const QList<QByteArray> lines = log.left(log.size() - 1).split('\n');
    QCOMPARE(lines.size(), threadCount * linesPerThread);

    const QRegularExpression shape(QLatin1Char('^') + QLatin1String(timestampPattern)
        + QLatin1String(" - Info: t(\\d) n(\\d+) ([a-h]+)$"));
    QVector<QBitArray> seen(threadCount, QBitArray(linesPerThread));
    for (const QByteArray &bytes : lines) {
        const QString line = QString::fromLatin1(bytes);
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(200)));
        const int t = match.captured(2).toInt();
        const int n = match.captured(3).toInt();
        QVERIFY(t < threadCount && n < linesPerThread);
        QCOMPARE(match.captured(4), QString(fillerLength(n), QLatin1Char(char('a' + t))));
        QVERIFY2(!seen[t].testBit(n), qPrintable(line.left(200)));
        seen[t].setBit(n);
    }
}

QTEST_GUILESS_MAIN(tst_Logger)
#include "tst_logger.moc"
