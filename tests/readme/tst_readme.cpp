#include "childprocess.h"
#include "loopback.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

// The README's usage sample, as built from the README, serves on 127.0.0.1:8080 (free in the
// test's own network namespace) and stops cleanly.
class TestReadme : public QObject
{
    Q_OBJECT
private slots:
    void servesAndStopsOnSigterm();
    void endsWhenItCannotListen();

private:
    static QByteArray curl(const QStringList &arguments);
};

QByteArray TestReadme::curl(const QStringList &arguments)
{
    return runChild(QStringLiteral("curl"),
        QStringList { QStringLiteral("-sS"), QStringLiteral("--noproxy"), QStringLiteral("*"),
            QStringLiteral("-w"), QStringLiteral(" %{http_code}") }
            + arguments)
        .output;
}

void TestReadme::servesAndStopsOnSigterm()
{
    QTemporaryDir folder; // the sample serves ./static; what lies beside must stay unseen
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("static")));
    for (const char *name : { "static/page.txt", "secret.txt" }) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(name) > 0);
    }
    QProcess sample;
    sample.setWorkingDirectory(folder.path());
    sample.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QProcessEnvironment quiet = QProcessEnvironment::systemEnvironment();
    quiet.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("zrnet.*.debug=false"));
    sample.setProcessEnvironment(quiet);
    sample.start(QStringLiteral(ZRNET_README_USAGE), QStringList());
    QVERIFY(sample.waitForStarted(10000));
    loopback::Peer probe;
    QTRY_VERIFY_WITH_TIMEOUT(probe.connectTo(8080), 10000);
    probe.close();

    QCOMPARE(curl({ QStringLiteral("http://127.0.0.1:8080/hello?name=readme") }),
        QByteArray("hello readme\n 200"));
    QCOMPARE(curl({ QStringLiteral("-d"), QStringLiteral("{\"a\":[1,2]}"),
                 QStringLiteral("http://127.0.0.1:8080/echo") }),
        QByteArray("{\"a\":[1,2]} 200"));
    QVERIFY(curl(
        { QStringLiteral("-d"), QStringLiteral("{"), QStringLiteral("http://127.0.0.1:8080/echo") })
                .endsWith(" 400"));
    const QPair<const char *, QByteArray> paths[] = {
        { "/api/items/a%2Fb", "{\"id\":\"a/b\"} 200" },
        { "/static/page.txt", "static/page.txt 200" },
        { "/static/%2e%2e/secret.txt", "Not Found\n 404" },
        { "/static/..%2Fsecret.txt", "Not Found\n 404" },
        { "/static/../../secret.txt", "Bad Request\n 400" },
    };
    for (const auto &path : paths) {
        QCOMPARE(curl({ QStringLiteral("--path-as-is"),
                     QStringLiteral("http://127.0.0.1:8080") + QLatin1String(path.first) }),
            path.second);
    }

    sample.terminate();
    QVERIFY(sample.waitForFinished(10000));
    QCOMPARE(sample.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sample.exitCode(), 0);
}

void TestReadme::endsWhenItCannotListen()
{
    // 8080 held by a listener of the test's own.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1; // the port may still be in TIME_WAIT from the other test
    ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(8080);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    QCOMPARE(::listen(holder, 1), 0);

    QProcess sample;
    sample.start(QStringLiteral(ZRNET_README_USAGE), QStringList());
    QVERIFY(sample.waitForFinished(10000));
    ::close(holder);
    QCOMPARE(sample.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sample.exitCode(), 1);
    QVERIFY(sample.readAllStandardError().contains("cannot listen"));
}

QTEST_GUILESS_MAIN(TestReadme)
#include "tst_readme.moc"
