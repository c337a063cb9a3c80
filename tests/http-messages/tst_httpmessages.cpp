#include <zrhttpbase.h>
#include <zrhttpmultipart.h>
#include <zrhttppart.h>
#include <zrhttprequest.h>

#include <QPointer>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <cstring>
#include <functional>

// Re-running this binary with this argument prints the boundary of the first multipart it
// makes, so the test can compare two runs.
static const char printBoundaryArgument[] = "--print-first-boundary";
static const QByteArray boundaryAlphabet
    = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

namespace {

// "name=value" sets a header by name; "#N=value" sets KnownHeader N.
void applyHeaderSets(ZRHttpBase &message, const QByteArrayList &sets)
{
    for (const QByteArray &set : sets) {
        const int eq = set.indexOf('=');
        const QByteArray name = set.left(eq);
        const QByteArray value = set.mid(eq + 1);
        if (name.startsWith('#'))
            message.setHeader(KnownHeader(name.mid(1).toInt()), value);
        else
            message.setHeader(name, value);
    }
}

QByteArrayList headerList(const ZRHttpBase &message)
{
    QByteArrayList list;
    const QMap<QByteArray, QByteArray> headers = message.headers();
    for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
        list << it.key() + '=' + it.value();
    return list;
}

void fillBase(ZRHttpBase &message, const QByteArray &tag, ContentType type)
{
    message.setStartLine("start " + tag);
    message.setHeader("H1", "one " + tag);
    message.setHeader(HeaderCookie, "c=" + tag);
    message.setBody("body " + tag);
    message.setContentType(type);
}

void compareBase(const ZRHttpBase &actual, const ZRHttpBase &expected)
{
    QCOMPARE(actual.startLine(), expected.startLine());
    QCOMPARE(actual.headers(), expected.headers());
    QCOMPARE(actual.body(), expected.body());
    QCOMPARE(actual.contentType(), expected.contentType());
}

void compareRequest(const ZRHttpRequest &actual, const ZRHttpRequest &expected)
{
    compareBase(actual, expected);
    QCOMPARE(actual.type(), expected.type());
    QCOMPARE(actual.path(), expected.path());
    QCOMPARE(actual.protocol(), expected.protocol());
}

void compareMultiPart(const ZRHttpMultiPart &actual, const ZRHttpMultiPart &expected)
{
    compareBase(actual, expected);
    QCOMPARE(actual.boundary(), expected.boundary());
    QCOMPARE(actual.parts().size(), expected.parts().size());
    QCOMPARE(actual.multiParts().size(), expected.multiParts().size());
    QCOMPARE(actual.toByteArray(), expected.toByteArray());
}

ZRHttpPart makePart(
    const QByteArray &startLine, const QByteArrayList &headerSets, const QByteArray &body)
{
    ZRHttpPart part;
    part.setStartLine(startLine);
    applyHeaderSets(part, headerSets);
    part.setBody(body);
    return part;
}

ZRHttpMultiPart makeMultiPart(ContentType type, const QString &boundary)
{
    ZRHttpMultiPart multiPart(type);
    multiPart.setBoundary(boundary);
    return multiPart;
}

QByteArray lines(const QByteArrayList &list)
{
    return list.join('\n') + '\n';
}

// A copy carries every data field and no parent; the source's deleteLater() connection stays
// behind, so the copy outlives the source's owner. Assignment keeps the target's parent.
template <typename T, typename Compare>
void verifyWholeValueCopies(
    std::function<void(T &)> fill, std::function<void(T &)> fillOther, Compare compare)
{
    QObject *owner = new QObject;
    QObject *laterOwner = new QObject;
    T *source = new T;
    source->QObject::setParent(owner);
    source->setParent(laterOwner);
    fill(*source);

    QPointer<T> copy = new T(*source);
    QCOMPARE(copy->parent(), nullptr);
    compare(*copy, *source);

    QObject targetOwner;
    T *target = new T;
    target->QObject::setParent(&targetOwner);
    fillOther(*target);
    *target = *source;
    QCOMPARE(target->parent(), &targetOwner);
    compare(*target, *source);

    const T snapshot(*source);
    delete owner;
    delete laterOwner;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!copy.isNull());
    compare(*copy, snapshot);
    delete copy;
}

} // namespace

class Emitter : public QObject
{
    Q_OBJECT
signals:
    void requestReady(ZRHttpRequest request);
};

class TestHttpMessages : public QObject
{
    Q_OBJECT

private slots:
    void headerMap_data();
    void headerMap();
    void typeString_data();
    void typeString();
    void requestTypeTableOrder();
    void copiesAreWholeValues();
    void messageLifetime_data();
    void messageLifetime();
    void requestTravelsQueued();
    void serialise_data();
    void serialise();
    void generateBoundary_data();
    void generateBoundary();
    void boundaryDiffersAcrossRuns();
};

void TestHttpMessages::headerMap_data()
{
    QTest::addColumn<QByteArrayList>("sets");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::addColumn<QByteArray>("lookup");
    QTest::addColumn<QByteArray>("lookupValue");

    QTest::newRow("byte order, prefix first")
        << QByteArrayList { "b=1", "B=2", "a=3", "Ab=4" }
        << QByteArrayList { "Ab=4", "B=2", "a=3", "b=1" } << QByteArray("A") << QByteArray();
    QTest::newRow("upper case sorts first")
        << QByteArrayList { "content-type=4", "Cookie=3", "Content-Type=2", "Content-Length=1" }
        << QByteArrayList { "Content-Length=1", "Content-Type=2", "Cookie=3", "content-type=4" }
        << QByteArray("CONTENT-TYPE") << QByteArray();
    QTest::newRow("case-sensitive lookup") << QByteArrayList { "Content-Type=x", "content-type=y" }
                                           << QByteArrayList { "Content-Type=x", "content-type=y" }
                                           << QByteArray("content-type") << QByteArray("y");
    QTest::newRow("text form replaces known form")
        << QByteArrayList { "#1=a", "Content-Type=b" } << QByteArrayList { "Content-Type=b" }
        << QByteArray("Content-Type") << QByteArray("b");
    QTest::newRow("XXsrfToken without hyphens")
        << QByteArrayList { "#5=t" } << QByteArrayList { "XXsrfToken=t" }
        << QByteArray("X-XSRF-TOKEN") << QByteArray();
    QTest::newRow("IfMatch without hyphen")
        << QByteArrayList { "#7=e" } << QByteArrayList { "IfMatch=e" } << QByteArray("IfMatch")
        << QByteArray("e");
    QTest::newRow("known header out of range")
        << QByteArrayList { "#14=v", "#-1=w", "#99=x" } << QByteArrayList { "=x" } << QByteArray()
        << QByteArray("x");
    QTest::newRow("names and values kept raw")
        << QByteArrayList { " Host =a\r\nb", "=" } << QByteArrayList { "=", " Host =a\r\nb" }
        << QByteArray("Host") << QByteArray();
}

void TestHttpMessages::headerMap()
{
    QFETCH(QByteArrayList, sets);
    QFETCH(QByteArrayList, expected);
    QFETCH(QByteArray, lookup);
    QFETCH(QByteArray, lookupValue);

    ZRHttpBase message;
    applyHeaderSets(message, sets);
    QCOMPARE(headerList(message), expected);
    QCOMPARE(message.header(lookup), lookupValue);
    QCOMPARE(headerList(message), expected); // looking up adds nothing
    QCOMPARE(ZRHttpBase::knownHeaderString.size(), 14);
    QCOMPARE(ZRHttpBase::knownHeaderString.lastKey(), HeaderOrigin);
}

void TestHttpMessages::typeString_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");

    const char *methods[] = { "GET", "POST", "PUT", "PATCH", "DELETE", "HEAD", "OPTIONS" };
    for (int type = 0; type < 7; ++type)
        QTest::addRow("%d", type) << type << QString::fromLatin1(methods[type]);
    QTest::newRow("7, past the table") << 7 << QString();
    QTest::newRow("-1") << -1 << QString();
}

void TestHttpMessages::typeString()
{
    QFETCH(int, type);
    QFETCH(QString, expected);

    ZRHttpRequest request;
    request.setType(RequestType(type));
    QCOMPARE(request.type(), RequestType(type));
    QCOMPARE(request.typeString(), expected);
    QCOMPARE(ZRHttpRequest::requestTypeString.size(), 7);
}

void TestHttpMessages::requestTypeTableOrder()
{
    const QList<RequestType> expected { RequestGet, RequestPost, RequestPut, RequestPatch,
        RequestDelete, RequestHead, RequestOptions };
    QCOMPARE(ZRHttpRequest::requestTypeString.keys(), expected);
    QCOMPARE(ZRHttpRequest().type(), RequestGet);
    QCOMPARE(ZRHttpBase().contentType(), MultipartMixed);
    QCOMPARE(ZRHttpRequest().contentType(), MultipartMixed);
}

void TestHttpMessages::copiesAreWholeValues()
{
    verifyWholeValueCopies<ZRHttpBase>(
        [](ZRHttpBase &m) { fillBase(m, "src", MultipartAlternative); },
        [](ZRHttpBase &m) { fillBase(m, "dst", MultipartRelated); }, compareBase);
    if (QTest::currentTestFailed())
        return;

    const auto fillRequest = [](ZRHttpRequest &r, const QByteArray &tag, RequestType type) {
        fillBase(r, tag, ContentType(7));
        r.setType(type);
        r.setPath(QString::fromLatin1("/p/" + tag + "?q=1"));
        r.setProtocol(QString::fromLatin1("HTTP/1.1 " + tag));
    };
    verifyWholeValueCopies<ZRHttpRequest>(
        [&](ZRHttpRequest &r) { fillRequest(r, "src", RequestPatch); },
        [&](ZRHttpRequest &r) { fillRequest(r, "dst", RequestHead); }, compareRequest);
    if (QTest::currentTestFailed())
        return;

    verifyWholeValueCopies<ZRHttpPart>([](ZRHttpPart &p) { fillBase(p, "src", MultipartFormData); },
        [](ZRHttpPart &p) { fillBase(p, "dst", MultipartMixed); },
        [](const ZRHttpPart &a, const ZRHttpPart &b) {
            compareBase(a, b);
            QCOMPARE(a.toByteArray(), b.toByteArray());
        });
    if (QTest::currentTestFailed())
        return;

    const auto fillMultiPart = [](ZRHttpMultiPart &m, const QByteArray &tag) {
        fillBase(m, tag, tag == "src" ? MultipartRelated : MultipartMixed);
        m.setBoundary(QString::fromLatin1("B-" + tag));
        m.append(makePart("", { "X=" + tag }, tag));
        if (tag == "src") {
            m.append(makePart("second", {}, ""));
            m.append(makeMultiPart(MultipartAlternative, QStringLiteral("inner")));
        }
    };
    verifyWholeValueCopies<ZRHttpMultiPart>([&](ZRHttpMultiPart &m) { fillMultiPart(m, "src"); },
        [&](ZRHttpMultiPart &m) { fillMultiPart(m, "dst"); }, compareMultiPart);
}

void TestHttpMessages::messageLifetime_data()
{
    QTest::addColumn<bool>("constructedWithParent");
    QTest::addColumn<bool>("deletedWithParent");

    QTest::newRow("constructed with parent: owned, dies at once") << true << true;
    QTest::newRow("parent set later: not owned, dies on next event pass") << false << false;
}

void TestHttpMessages::messageLifetime()
{
    QFETCH(bool, constructedWithParent);
    QFETCH(bool, deletedWithParent);

    QObject *parent = new QObject;
    QPointer<ZRHttpPart> message;
    if (constructedWithParent) {
        message = new ZRHttpPart(MultipartMixed, parent);
        QCOMPARE(message->parent(), parent);
    } else {
        message = new ZRHttpPart;
        message->setParent(parent);
        QCOMPARE(message->parent(), nullptr); // tied to the parent's life, not adopted
    }
    delete parent;
    QCOMPARE(message.isNull(), deletedWithParent);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(message.isNull());
}

void TestHttpMessages::requestTravelsQueued()
{
    ZRHttpRequest request;
    fillBase(request, "q", MultipartFormData);
    request.setType(RequestDelete);
    request.setPath(QStringLiteral("/items/7"));
    request.setProtocol(QStringLiteral("HTTP/1.0"));

    compareRequest(QVariant::fromValue(request).value<ZRHttpRequest>(), request);

    Emitter emitter;
    QList<ZRHttpRequest> received;
    connect(
        &emitter, &Emitter::requestReady, this,
        [&received](const ZRHttpRequest &r) { received.append(r); }, Qt::QueuedConnection);
    {
        ZRHttpRequest transient(request);
        emit emitter.requestReady(transient);
    }
    QCOMPARE(received.size(), 0);
    QTRY_COMPARE(received.size(), 1);
    compareRequest(received.first(), request);
}

void TestHttpMessages::serialise_data()
{
    QTest::addColumn<QByteArray>("actual");
    QTest::addColumn<QByteArray>("expected");

    // Single parts.
    QTest::newRow("part: everything empty") << ZRHttpPart().toByteArray() << QByteArray("\n\n");
    const ZRHttpPart reply = makePart("HTTP/1.1 200 OK", { "Content-Type=text/html" }, "x");
    QTest::newRow("part: status line, header, body, no trailing LF")
        << reply.toByteArray() << QByteArray("HTTP/1.1 200 OK\nContent-Type: text/html\n\nx");
    ZRHttpPart formData(reply);
    formData.setContentType(MultipartFormData);
    QTest::newRow("part: content type changes nothing")
        << formData.toByteArray() << reply.toByteArray();
    QTest::newRow("part: CR and LF of the caller kept, nothing added")
        << makePart("HTTP/1.1 204\r", { "content-length=9\r" }, "a\r\nb\n").toByteArray()
        << QByteArray("HTTP/1.1 204\r\ncontent-length: 9\r\n\na\r\nb\n");
    QTest::newRow("part: NUL bytes kept")
        << makePart(QByteArray("s\0t", 3), {}, QByteArray("\0", 1)).toByteArray()
        << QByteArray("s\0t\n\n\0", 6);

    // The two reference messages.
    ZRHttpMultiPart batch = makeMultiPart(MultipartMixed, QStringLiteral("AbC123xyz789"));
    batch.setHeader("X-Batch", "7");
    batch.append(makePart(
        "Content-Disposition: inline", { "Content-Type=text/plain", "Content-Length=5" }, "hello"));
    batch.append(makePart("", { "X-Id=2" }, "{}"));
    QTest::newRow("reference: mixed batch")
        << batch.toByteArray()
        << lines({ "X-Batch: 7",
               "Content-type: multipart/mixed; "
               "boundary=\"AbC123xyz789\"",
               "", "--AbC123xyz789", "Content-Disposition: inline", "Content-Length: 5",
               "Content-Type: text/plain", "", "hello", "--AbC123xyz789", "", "X-Id: 2", "", "{}",
               "--AbC123xyz789--" });

    ZRHttpMultiPart outer = makeMultiPart(MultipartFormData, QStringLiteral("Outer0000001"));
    outer.setStartLine("HTTP/1.1 200 OK\n");
    ZRHttpMultiPart nested = makeMultiPart(MultipartAlternative, QStringLiteral("Nest00000001"));
    nested.append(makePart("", { "Content-Type=text/plain" }, "a"));
    outer.append(nested);
    outer.append(makePart("", {}, "x")); // appended later, still written first
    QTest::newRow("reference: nested form-data reply")
        << outer.toByteArray()
        << lines(
               { "HTTP/1.1 200 OK", "Content-type: multipart/form-data; boundary=\"Outer0000001\"",
                   "MIME-Version: 1.0", "", "--Outer0000001", "", "", "x", "--Outer0000001",
                   "Content-type: multipart/alternative; boundary=\"Nest00000001\"", "",
                   "--Nest00000001", "", "Content-Type: text/plain", "", "a", "--Nest00000001--",
                   "", "--Outer0000001--" });

    // Generated type lines by content type.
    const struct
    {
        int type;
        const char *subtype;
        bool mimeVersion;
    } types[] = { { 0, "mixed", false }, { 1, "related", false }, { 2, "form-data", true },
        { 3, "alternative", false }, { 4, "form-data", true }, { -1, "form-data", true } };
    for (const auto &t : types) {
        QByteArrayList expected { QByteArray("Content-type: multipart/") + t.subtype
            + "; boundary=\"b\"" };
        if (t.mimeVersion)
            expected << "MIME-Version: 1.0";
        expected << ""
                 << "--b--";
        QTest::addRow("multipart: content type %d", t.type)
            << makeMultiPart(ContentType(t.type), QStringLiteral("b")).toByteArray()
            << lines(expected);
    }

    for (const QByteArray name : { "x-content-type-options", "CONTENT-TYPE", "Content-Type" }) {
        ZRHttpMultiPart own = makeMultiPart(MultipartFormData, QStringLiteral("b"));
        own.setHeader(name, "v");
        QTest::addRow("multipart: header %s suppresses generated lines", name.constData())
            << own.toByteArray() << lines({ name + ": v", "", "--b--" });
    }
    ZRHttpMultiPart nearMiss = makeMultiPart(MultipartMixed, QStringLiteral("b"));
    nearMiss.setHeader("Content_Type", "v");
    nearMiss.setHeader("Content-Typ", "v");
    QTest::newRow("multipart: near-miss names do not suppress")
        << nearMiss.toByteArray()
        << lines({ "Content-Typ: v", "Content_Type: v",
               "Content-type: multipart/mixed; boundary=\"b\"", "", "--b--" });

    ZRHttpMultiPart empty = makeMultiPart(MultipartMixed, QString());
    empty.append(ZRHttpPart());
    QTest::newRow("multipart: empty boundary")
        << empty.toByteArray()
        << lines({ "Content-type: multipart/mixed; boundary=\"\"", "", "--", "", "", "", "----" });

    ZRHttpMultiPart preamble
        = makeMultiPart(MultipartRelated, QString::fromUtf8("\xc3\xa4\xe2\x82\xac"));
    preamble.setStartLine("S");
    preamble.setBody("This is a preamble.");
    QTest::newRow("multipart: raw start line, preamble, UTF-8 boundary")
        << preamble.toByteArray()
        << lines({ "SContent-type: multipart/related; boundary=\"\xc3\xa4\xe2\x82\xac\"",
               "This is a preamble.", "--\xc3\xa4\xe2\x82\xac--" });

    ZRHttpMultiPart inner = makeMultiPart(MultipartRelated, QStringLiteral("in"));
    inner.setHeader("X-Inner", "1");
    inner.setBody("inner preamble");
    inner.append(makePart("", {}, "p"));
    ZRHttpMultiPart holder = makeMultiPart(MultipartMixed, QStringLiteral("out"));
    holder.setHeader("Content-Type", "multipart/mixed; boundary=out");
    holder.append(inner);
    QTest::newRow("multipart: nested bytes are its own bytes")
        << holder.toByteArray()
        << "Content-Type: multipart/mixed; boundary=out\n\n--out\n" + inner.toByteArray()
            + "\n--out--\n";

    ZRHttpMultiPart changed = makeMultiPart(MultipartMixed, QStringLiteral("b"));
    ZRHttpPart part = makePart("", { "A=1" }, "before");
    changed.append(part);
    changed.append(inner);
    part.setBody("after");
    part.setHeader("B", "2");
    inner.setBody("changed");
    inner.setBoundary(QStringLiteral("changed"));
    inner.append(ZRHttpPart());
    QTest::newRow("multipart: changes after append do not reach stored copies")
        << changed.toByteArray()
        << lines({ "Content-type: multipart/mixed; boundary=\"b\"", "", "--b", "", "A: 1", "",
               "before", "--b", "X-Inner: 1", "Content-type: multipart/related; boundary=\"in\"",
               "inner preamble", "--in", "", "", "p", "--in--", "", "--b--" });

    ZRHttpMultiPart self = makeMultiPart(MultipartMixed, QStringLiteral("s"));
    self.append(makePart("", {}, "1"));
    self.append(self);
    self.append(self);
    const QByteArray one
        = lines({ "Content-type: multipart/mixed; boundary=\"s\"", "", "--s", "", "", "1" });
    const QByteArray level1 = one + "--s--\n";
    const QByteArray level2 = one + "--s\n" + level1 + "\n--s--\n";
    QTest::newRow("multipart: appended to itself twice")
        << self.toByteArray() << one + "--s\n" + level1 + "\n--s\n" + level2 + "\n--s--\n";
}

void TestHttpMessages::serialise()
{
    QFETCH(QByteArray, actual);
    QFETCH(QByteArray, expected);
    QCOMPARE(actual, expected);
}

void TestHttpMessages::generateBoundary_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("expectedLength");

    QTest::newRow("12") << 12 << 12;
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("500") << 500 << 500;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("-3") << -3 << 0;
}

void TestHttpMessages::generateBoundary()
{
    QFETCH(int, length);
    QFETCH(int, expectedLength);

    ZRHttpMultiPart multiPart;
    const QString before = multiPart.boundary();
    const QString boundary = multiPart.generateBoundary(length);
    QCOMPARE(boundary.size(), expectedLength);
    for (const QChar c : boundary)
        QVERIFY2(boundaryAlphabet.contains(char(c.unicode())), qPrintable(boundary));
    QCOMPARE(multiPart.boundary(), before);
    QCOMPARE(before.size(), 12);
    if (length >= 12)
        QVERIFY(multiPart.generateBoundary(length) != boundary);
}

void TestHttpMessages::boundaryDiffersAcrossRuns()
{
    QStringList boundaries;
    for (int run = 0; run < 2; ++run) {
        QProcess self;
        self.start(QCoreApplication::applicationFilePath(),
            { QString::fromLatin1(printBoundaryArgument) });
        QVERIFY(self.waitForFinished(30000));
        QCOMPARE(self.exitCode(), 0);
        boundaries << QString::fromLatin1(self.readAllStandardOutput().trimmed());
        QCOMPARE(boundaries.last().size(), 12);
    }
    QVERIFY2(boundaries[0] != boundaries[1], qPrintable(boundaries.join(QLatin1Char(' '))));
}

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], printBoundaryArgument) == 0) {
        std::printf("%s\n", ZRHttpMultiPart().boundary().toLatin1().constData());
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestHttpMessages test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_httpmessages.moc"
