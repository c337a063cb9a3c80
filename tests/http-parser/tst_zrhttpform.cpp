#include <zrhttpform.h>

#include <QtTest>

class tst_ZRHttpForm : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void filesGoWithTheForm();
};

namespace {

// Each part as name[fileName|type]=content, a file's content read from its file.
QByteArray describe(const ZRHttpForm &form)
{
    QByteArrayList described;
    for (const ZRHttpForm::Part &part : form.parts()) {
        QByteArray content = part.value;
        if (part.isFile()) {
            QFile file(part.filePath);
            content = file.open(QIODevice::ReadOnly) ? file.readAll() : "(unreadable)";
        }
        if (content.size() != part.size)
            content += "(size differs)";
        described += part.name.toUtf8()
            + (part.isFile() ? '[' + part.fileName.toUtf8() + '|' + part.contentType + ']'
                             : QByteArray())
            + '=' + content;
    }
    return described.join(';');
}

QByteArray form(const QByteArrayList &parts, const QByteArray &boundary = "XyZ")
{
    QByteArray body;
    for (const QByteArray &part : parts)
        body += "--" + boundary + "\r\n" + part + "\r\n";
    return body + "--" + boundary + "--\r\n";
}

QByteArray field(const QByteArray &name, const QByteArray &value)
{
    return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
}

} // namespace

// Every row is fed whole, byte by byte and in pieces of 7: the same parts each time.
void tst_ZRHttpForm::parse_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("maxParts");
    QTest::addColumn<int>("maxField");
    QTest::addColumn<int>("maxFile");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("parts");

    const QByteArray type = "multipart/form-data; boundary=XyZ";
    const QByteArray file = "Content-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n"
                            "Content-Type: text/plain\r\n\r\nline 1\r\nline 2\r\n";
    const auto row = [&](const char *name, const QByteArray &body, int error,
                         const QByteArray &parts, const QByteArray &contentType = QByteArray()) {
        QTest::newRow(name) << (contentType.isNull() ? type : contentType) << body << 128 << 64
                            << -1 << error << parts;
    };
    row("field and file", form({ field("a", "1"), file }), ZRHttpForm::NoError,
        "a=1;up[a.txt|text/plain]=line 1\r\nline 2\r\n");
    row("preamble, padding after a delimiter, epilogue",
        "preamble\r\n--XyZ \t\r\n" + field("a", "1") + "\r\n--XyZ--\r\nepilogue --XyZ",
        ZRHttpForm::NoError, "a=1");
    row("empty field and empty file",
        form({ field("e", ""),
            "Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n" }),
        ZRHttpForm::NoError, "e=;f[|]=");
    row("what looks like a delimiter inside content",
        form({ field("a", "x\r\n--XyQ\r\n--Xy\r\n-XyZ") }), ZRHttpForm::NoError,
        "a=x\r\n--XyQ\r\n--Xy\r\n-XyZ");
    row("quoted boundary, names in any case",
        form({ "content-disposition: Form-Data; NAME=q\r\n\r\nv" }, "a b"), ZRHttpForm::NoError,
        "q=v", "Multipart/Form-Data; Boundary=\"a b\"");
    row("file name as sent, quotes, semicolons and a path",
        form({ "Content-Disposition: form-data; name=\"p\"; filename=\"..\\/x\\\"; y.txt\"\r\n\r\nz" }),
        ZRHttpForm::NoError, "p[../x\"; y.txt|]=z");
    row("no boundary", form({}), ZRHttpForm::NotAForm, "", "multipart/form-data");
    row("another type", form({}), ZRHttpForm::NotAForm, "", "multipart/mixed; boundary=XyZ");
    row("boundary of 71", form({}), ZRHttpForm::NotAForm, "",
        "multipart/form-data; boundary=" + QByteArray(71, 'b'));
    row("no closing delimiter", "--XyZ\r\n" + field("a", "1"), ZRHttpForm::Incomplete, "");
    row("a part without Content-Disposition", form({ "Content-Type: text/plain\r\n\r\nx" }),
        ZRHttpForm::Malformed, "");
    row("a disposition without a name",
        form({ field("a", "1"), "Content-Disposition: form-data\r\n\r\nx" }),
        ZRHttpForm::Malformed, "a=1");
    row("bare LF in a part's head",
        form({ "Content-Disposition: form-data; name=a\nX: y\r\n\r\nx" }), ZRHttpForm::Malformed,
        "");
    row("folded line in a part's head",
        form({ "Content-Disposition: form-data;\r\n name=a\r\n\r\nx" }), ZRHttpForm::Malformed,
        "");
    row("a quoted name that does not end",
        form({ "Content-Disposition: form-data; name=\"a\r\n\r\nx" }), ZRHttpForm::Malformed, "");
    row("bytes after a delimiter", "--XyZx\r\n" + field("a", "1") + "\r\n--XyZ--",
        ZRHttpForm::Malformed, "");
    row("field over its limit", form({ field("a", QByteArray(65, 'x')) }),
        ZRHttpForm::FieldTooLarge, "");
    QTest::newRow("file over its limit") << type << form({ file }) << 128 << 64 << 15
                                        << int(ZRHttpForm::FileTooLarge) << QByteArray();
    QTest::newRow("file at its limit") << type << form({ file }) << 128 << 64 << 16
                                      << int(ZRHttpForm::NoError)
                                      << QByteArray("up[a.txt|text/plain]=line 1\r\nline 2\r\n");
    QTest::newRow("too many parts") << type << form({ field("a", "1"), field("b", "2") }) << 1
                                   << 64 << -1 << int(ZRHttpForm::TooManyParts) << QByteArray("a=1");
}

void tst_ZRHttpForm::parse()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(int, maxParts);
    QFETCH(int, maxField);
    QFETCH(int, maxFile);
    QFETCH(int, error);
    QFETCH(QByteArray, parts);

    ZRHttpForm::Limits limits;
    limits.maxParts = maxParts;
    limits.maxFieldSize = maxField;
    limits.maxFileSize = maxFile;
    for (const int piece : { int(body.size()), 1, 7 }) {
        ZRHttpForm form(contentType, limits);
        for (int at = 0; at < body.size(); at += piece)
            form.feed(body.mid(at, piece));
        QCOMPARE(form.finish(), error == ZRHttpForm::NoError);
        QCOMPARE(int(form.error()), error);
        QCOMPARE(describe(form), parts);
        QCOMPARE(form.errorString().isEmpty(), error == ZRHttpForm::NoError);
    }
}

// The files of a form are gone with it, even one it failed in, unless it was told to keep
// them; none is written outside the folder, whatever the client calls it; the default folder
// is the form's own and goes with it.
void tst_ZRHttpForm::filesGoWithTheForm()
{
    QTemporaryDir folder;
    ZRHttpForm::Limits limits;
    limits.directory = folder.path();
    const QByteArray type = "multipart/form-data; boundary=XyZ";
    const QByteArray upload = form({ "Content-Disposition: form-data; name=\"f\"; "
                                     "filename=\"../../escaped\"\r\n\r\n12345" });
    const auto filesThere = [&] { return QDir(folder.path()).entryList(QDir::Files).size(); };
    QString kept;
    {
        ZRHttpForm whole(type, limits);
        QVERIFY(whole.feed(upload) && whole.finish());
        kept = whole.parts().value(0).filePath;
        QCOMPARE(QFileInfo(kept).path(), folder.path());
        whole.keepFiles();
    }
    QVERIFY(QFile::remove(kept));
    {
        ZRHttpForm whole(type, limits);
        whole.feed(upload);
        ZRHttpForm half(type, limits);
        half.feed(upload.left(upload.size() - 12));
        const ZRHttpForm moved = std::move(half);
        QCOMPARE(filesThere(), 2);
    }
    QCOMPARE(filesThere(), 0);
    QString own;
    {
        ZRHttpForm whole(type);
        QVERIFY(whole.feed(upload) && whole.finish());
        own = QFileInfo(whole.parts().value(0).filePath).path();
        // Nobody but the user: not the group, not others.
        QCOMPARE(QFileInfo(own).permissions() & 0x0777,
            QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    }
    QVERIFY(!own.isEmpty() && !QFileInfo::exists(own));
}

QTEST_GUILESS_MAIN(tst_ZRHttpForm)
#include "tst_zrhttpform.moc"
