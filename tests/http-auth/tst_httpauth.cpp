#include <zrhttpguard.h>
#include <zrhttpsessions.h>
#include <zrhttpthrottle.h>
#include <zrpassword.h>

#include <QNetworkCookie>
#include <QtTest>

namespace {

// The cookies a reply sets, as a browser would send them back: "name=value; ...".
QByteArray cookiesOf(const ZRHttpReply &reply)
{
    QByteArrayList pairs;
    for (const auto &header : reply.headers()) {
        if (header.first.compare("Set-Cookie", Qt::CaseInsensitive) != 0)
            continue;
        for (const QNetworkCookie &cookie : QNetworkCookie::parseCookies(header.second))
            pairs.append(cookie.name() + '=' + cookie.value());
    }
    return pairs.join("; ");
}

QByteArray cookieValue(const QByteArray &cookies, const QByteArray &name)
{
    for (const QByteArray &pair : cookies.split(';')) {
        if (pair.trimmed().startsWith(name + '='))
            return pair.trimmed().mid(name.size() + 1);
    }
    return QByteArray();
}

} // namespace

class TestHttpAuth : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void password_data();
    void password();
    void weakness_data();
    void weakness();
    void sessions();
    void throttle_data();
    void throttle();
    void guard_data();
    void guard();

private:
    QByteArray m_stored; // of "correct horse", at the lowest cost verify() takes
};

void TestHttpAuth::initTestCase()
{
    m_stored = ZRPassword::hash(QStringLiteral("correct horse"), 10);
    QVERIFY(m_stored.startsWith("$scrypt$ln=10,r=8,p=1$"));
    QVERIFY(ZRPassword::hash(QStringLiteral("correct horse"), 10) != m_stored); // salted
}

void TestHttpAuth::password_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("accepted");
    const QList<QByteArray> f = m_stored.split('$'); // "", scrypt, cost, salt, hash
    const auto with = [&f](int index, const QByteArray &value) {
        QList<QByteArray> fields = f;
        fields[index] = value;
        return fields.join('$');
    };
    QByteArray flipped = f.at(4);
    flipped[0] = flipped.at(0) == 'A' ? 'B' : 'A';
    QTest::newRow("right") << "correct horse" << m_stored << true;
    QTest::newRow("right, stored with a newline") << "correct horse" << m_stored + '\n' << true;
    QTest::newRow("wrong") << "correct horsf" << m_stored << false;
    QTest::newRow("empty") << "" << m_stored << false;
    QTest::newRow("hash changed") << "correct horse" << with(4, flipped) << false;
    QTest::newRow("hash cut") << "correct horse" << with(4, f.at(4).chopped(4)) << false;
    QTest::newRow("salt changed") << "correct horse" << with(3, "AAAAAAAAAAAAAAAAAAAAAA") << false;
    QTest::newRow("cost changed") << "correct horse" << with(2, "ln=11,r=8,p=1") << false;
    QTest::newRow("cost beyond bounds") << "correct horse" << with(2, "ln=40,r=8,p=1") << false;
    QTest::newRow("cost unreadable") << "correct horse" << with(2, "ln=10,r=8") << false;
    QTest::newRow("other algorithm") << "correct horse" << with(1, "pbkdf2") << false;
    QTest::newRow("no string") << "correct horse" << QByteArray() << false;
}

void TestHttpAuth::password()
{
    QFETCH(QString, password);
    QFETCH(QByteArray, stored);
    QFETCH(bool, accepted);
    QCOMPARE(ZRPassword::verify(password, stored), accepted);
}

void TestHttpAuth::weakness_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("weakness");
    QTest::newRow("seven") << "abcdefg"
                           << "shorter than 8 characters";
    // Four characters outside the BMP are eight UTF-16 units.
    QTest::newRow("four emoji") << QString::fromUtf8("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
                                                     "\xF0\x9F\x98\x80\xF0\x9F\x98\x80")
                                << "shorter than 8 characters";
    QTest::newRow("common") << "Password1"
                            << "one of the most common passwords";
    QTest::newRow("long enough") << "correct horse"
                                 << "";
    QTest::newRow("no composition rules") << "aaaabbbbcccc"
                                          << "";
}

void TestHttpAuth::weakness()
{
    QFETCH(QString, password);
    QFETCH(QString, weakness);
    QCOMPARE(ZRPassword::weakness(password), weakness);
}

void TestHttpAuth::sessions()
{
    qint64 now = 0;
    ZRHttpSessions::Options options;
    options.idleSeconds = 10;
    options.absoluteSeconds = 25;
    options.maxSessions = 2;
    ZRHttpSessions sessions(options, [&now] { return now; });
    ZRHttpRequest request;
    ZRHttpReply reply;
    const ZRHttpSessions::Session first = sessions.start(request, reply, QStringLiteral("admin"));
    const QByteArray cookies = cookiesOf(reply);
    QCOMPARE(cookieValue(cookies, "XSRF-TOKEN"), first.csrfToken);
    QVERIFY(cookieValue(cookies, "session").size() >= 43); // 256 bits in base64
    QVERIFY(reply.headers().first().second.contains("HttpOnly"));
    QVERIFY(reply.headers().first().second.endsWith("; SameSite=Strict"));
    QVERIFY(!reply.headers().first().second.contains("secure")); // not over TLS
    QVERIFY(!reply.headers().at(1).second.contains("HttpOnly")); // the page reads the token
    request.setHeader("Cookie", cookies);

    // Each use puts the idle end off, never the absolute one.
    for (now = 9000; now <= 18000; now += 9000)
        QCOMPARE(sessions.find(request)->user, QStringLiteral("admin"));
    now = 25000;
    QVERIFY(!sessions.find(request));

    // A login with a session ends it: no id outlives the moment its user proved who they are.
    now = 0;
    ZRHttpReply again;
    sessions.start(request, again);
    QVERIFY(!sessions.find(request));
    ZRHttpRequest renewed;
    renewed.setHeader("Cookie", cookiesOf(again));
    QVERIFY(sessions.find(renewed));
    now = 10000; // idle for as long as allowed
    QVERIFY(!sessions.find(renewed));

    // Logout, the bound, and a password change ending every session of its user.
    now = 0;
    ZRHttpReply r1, r2, r3, out;
    ZRHttpRequest fresh, a, b, c;
    sessions.start(fresh, r1, QStringLiteral("a"));
    sessions.start(fresh, r2, QStringLiteral("b"));
    a.setHeader("Cookie", cookiesOf(r1));
    b.setHeader("Cookie", cookiesOf(r2));
    sessions.end(a, out);
    QVERIFY(!sessions.find(a));
    QCOMPARE(cookiesOf(out), QByteArray("session=; XSRF-TOKEN="));
    QVERIFY(out.headers().first().second.contains("expires=Thu, 01-Jan-1970"));
    // The least recently used goes first.
    ZRHttpReply r4;
    ZRHttpRequest d;
    now = 1;
    sessions.start(fresh, r4, QStringLiteral("d"));
    d.setHeader("Cookie", cookiesOf(r4));
    now = 2;
    QVERIFY(sessions.find(b));
    now = 3;
    sessions.start(fresh, r3, QStringLiteral("c"));
    c.setHeader("Cookie", cookiesOf(r3));
    QCOMPARE(sessions.count(), 2);
    QVERIFY(!sessions.find(d));
    QVERIFY(sessions.find(b));
    QVERIFY(sessions.find(c));
    sessions.endAll(QStringLiteral("c"));
    QVERIFY(!sessions.find(c));
}

void TestHttpAuth::throttle_data()
{
    // Steps "ADDRESS+MS:w" (a wrong try MS after the last step), "...:r" (right): each with
    // the verdict admit() gave: the wait in ms, or "429/SECONDS".
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("verdicts");
    QStringList wrongs, waits;
    for (int i = 0; i < 11; ++i)
        wrongs << QStringLiteral("a+0:w");
    waits << "0"
          << "0"
          << "0"
          << "0"
          << "100"
          << "200"
          << "400"
          << "800"
          << "800"
          << "800"
          << "429/300";
    QTest::newRow("growing wait, then locked out") << wrongs << waits;
    QTest::newRow("lock-out ends") << wrongs.mid(0, 10) + QStringList { "a+299000:w", "a+1000:w" }
                                   << waits.mid(0, 10) + QStringList { "429/1", "0" };
    QTest::newRow("right forgets the wrong tries") << QStringList { "a+0:w", "a+0:w", "a+0:w",
        "a+0:w", "a+0:r", "a+0:w" } << QStringList { "0", "0", "0", "0", "100", "0" };
    QTest::newRow("other addresses untouched")
        << wrongs.mid(0, 10) + QStringList { "b+0:r" } << waits.mid(0, 10) + QStringList { "0" };
    QStringList spread, spreadVerdicts;
    for (int i = 0; i < 13; ++i) {
        spread << QStringLiteral("%1+1000:w").arg(i);
        spreadVerdicts << (i < 12 ? "0" : "429/48");
    }
    QTest::newRow("spread over addresses, capped in total") << spread << spreadVerdicts;
}

void TestHttpAuth::throttle()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, verdicts);
    qint64 now = 0;
    ZRHttpThrottle::Options options;
    options.firstDelayMs = 100;
    options.maxDelayMs = 800;
    options.totalFailuresPerMinute = 12;
    ZRHttpThrottle throttle(options, [&now] { return now; });
    for (int i = 0; i < steps.size(); ++i) {
        const QString address = steps.at(i).section(QLatin1Char('+'), 0, 0);
        now += steps.at(i)
                   .section(QLatin1Char('+'), 1)
                   .section(QLatin1Char(':'), 0, 0)
                   .toLongLong();
        const ZRHttpThrottle::Verdict verdict = throttle.admit(address);
        const QString seen = verdict.refused()
            ? QStringLiteral("429/%1").arg(verdict.retryAfterSeconds)
            : QString::number(verdict.waitMs);
        QCOMPARE(QString::number(i) + ' ' + seen, QString::number(i) + ' ' + verdicts.at(i));
        if (!verdict.refused()) {
            // A second try while this one is checked waits for it.
            QVERIFY(throttle.admit(address).refused());
            throttle.record(address, steps.at(i).endsWith(QLatin1String(":r")));
        }
    }
}

void TestHttpAuth::guard_data()
{
    QTest::addColumn<int>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("headers"); // "Name: value"; "TOKEN" the session's token
    QTest::addColumn<bool>("session");
    QTest::addColumn<int>("status"); // 0: goes on
    const int get = RequestGet, post = RequestPost;
    const QStringList token { "X-XSRF-TOKEN: TOKEN" };
    QTest::newRow("no session, API path") << get << "/api/x" << QStringList() << false << 401;
    QTest::newRow("no session, page") << get << "/x" << QStringList() << false << 401;
    QTest::newRow("open path") << post << "/api/login" << QStringList() << false << 0;
    QTest::newRow("open prefix") << get << "/static/a.css" << QStringList() << false << 0;
    QTest::newRow("open path, cross-site")
        << post << "/api/login" << QStringList { "Origin: http://evil.example" } << false << 403;
    QTest::newRow("preflight") << int(RequestOptions) << "/api/x" << QStringList() << false << 0;
    QTest::newRow("session, GET") << get << "/api/x" << QStringList() << true << 0;
    QTest::newRow("session, GET cross-site")
        << get << "/api/x" << QStringList { "Sec-Fetch-Site: cross-site" } << true << 0;
    QTest::newRow("session, POST with token") << post << "/api/x" << token << true << 0;
    QTest::newRow("session, POST without token")
        << post << "/api/x" << QStringList() << true << 403;
    QTest::newRow("session, POST, wrong token")
        << post << "/api/x" << QStringList { "X-XSRF-TOKEN: x" } << true << 403;
    QTest::newRow("token, same Origin")
        << post << "/api/x" << token + QStringList { "Origin: http://device:8080" } << true << 0;
    QTest::newRow("token, Origin of another site")
        << post << "/api/x" << token + QStringList { "Origin: http://evil.example" } << true << 403;
    QTest::newRow("token, Origin of the other scheme")
        << post << "/api/x" << token + QStringList { "Origin: https://device:8080" } << true << 403;
    QTest::newRow("token, Origin null")
        << post << "/api/x" << token + QStringList { "Origin: null" } << true << 403;
    QTest::newRow("token, same-origin")
        << post << "/api/x" << token + QStringList { "Sec-Fetch-Site: same-origin" } << true << 0;
    QTest::newRow("token, same-site")
        << post << "/api/x" << token + QStringList { "Sec-Fetch-Site: same-site" } << true << 403;
    QTest::newRow("token, cross-site")
        << post << "/api/x" << token + QStringList { "Sec-Fetch-Site: cross-site" } << true << 403;
    QTest::newRow("Basic over plain HTTP")
        << get << "/api/x" << QStringList { "Authorization: Basic YWRtaW46cmlnaHQ=" } << false
        << 401;
}

void TestHttpAuth::guard()
{
    QFETCH(int, method);
    QFETCH(QString, path);
    QFETCH(QStringList, headers);
    QFETCH(bool, session);
    QFETCH(int, status);
    ZRHttpSessions sessions;
    ZRHttpGuard::Options options;
    options.openPaths = QStringList { QStringLiteral("/api/login"), QStringLiteral("/static/*") };
    options.basic = [](const QString &, const QString &password) { return password == "right"; };
    const ZRHttpGuard guard(&sessions, options);
    ZRHttpRequest request;
    request.setType(RequestType(method));
    request.setPath(path);
    request.setHeader("Host", "device:8080");
    QByteArray token;
    if (session) {
        ZRHttpReply login;
        token = sessions.start(request, login).csrfToken;
        request.setHeader("Cookie", cookiesOf(login));
    }
    for (const QString &header : headers) {
        request.addHeader(header.section(QLatin1Char(':'), 0, 0).toLatin1(),
            header.section(QLatin1String(": "), 1).toLatin1().replace("TOKEN", token));
    }
    const std::optional<ZRHttpReply> reply = guard.check(request);
    QCOMPARE(reply ? reply->status() : 0, status);
    if (status == 401 && path.startsWith(QLatin1String("/api/")))
        QCOMPARE(reply->body(), QByteArray("{\"error\":\"log in first\"}"));
    if (reply) // Basic only over TLS: not offered here
        QVERIFY(!reply->hasHeader("WWW-Authenticate"));
}

QTEST_GUILESS_MAIN(TestHttpAuth)
#include "tst_httpauth.moc"
