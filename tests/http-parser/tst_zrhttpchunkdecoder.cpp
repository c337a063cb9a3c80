#include "zrhttpchunkdecoder_p.h"

#include <QtTest>

using Decoder = ZRHttpChunkDecoder;

class tst_ZRHttpChunkDecoder : public QObject
{
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
};

// The limits at their edges and sizes at the edge of 64 bits; every row is also fed byte by
// byte and cut in two at every byte, which must not change the answer.
void tst_ZRHttpChunkDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<qint64>("maxBodySize");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("bytesUsed"); // -1: all of data

    const qint64 oneMiB = 1024 * 1024;
    const qint64 oneGiB = Decoder::bodySizeCeiling;
    const QByteArray sizeLine4095 = "1;" + QByteArray(4092, 'x') + "\r"; // 4,095 bytes and LF
    const QByteArray trailer8192 = "T: " + QByteArray(8185, 't') + "\r\n\r\n";

    QTest::newRow("stops after the trailers")
        << QByteArray("1\r\na\r\n0\r\nX: y\r\n\r\nGET / HTTP/1.1\r\n") << oneMiB
        << int(Decoder::Complete) << 0 << QByteArray("a") << qint64(17);
    QTest::newRow("leading zeros past 64 bits of digits")
        << QByteArray("000000000000000000000000000005\r\nhello\r\n0\r\n\r\n") << oneMiB
        << int(Decoder::Complete) << 0 << QByteArray("hello") << qint64(-1);
    QTest::newRow("largest 64-bit size")
        << QByteArray("7fffffffffffffff\r\n") << oneMiB << int(Decoder::Failed) << 413
        << QByteArray() << qint64(-1);
    QTest::newRow("one past 64 bits") << QByteArray("10000000000000000\r\n") << oneMiB
                                      << int(Decoder::Failed) << 413 << QByteArray() << qint64(-1);
    QTest::newRow("wraps to 0 if not saturated")
        << QByteArray("100000000000000000\r\n\r\n") << oneMiB << int(Decoder::Failed) << 413
        << QByteArray() << qint64(-1);
    QTest::newRow("size of exactly the 1 GiB ceiling waits for its data")
        << QByteArray("40000000\r\nab") << (qint64(1) << 62) << int(Decoder::NeedMore) << 0
        << QByteArray("ab") << qint64(-1);
    QTest::newRow("one byte over the ceiling")
        << QByteArray("40000001\r\n") << oneGiB * 4 << int(Decoder::Failed) << 413 << QByteArray()
        << qint64(-1);
    QTest::newRow("negative maximum takes nothing")
        << QByteArray("1\r\n") << qint64(-5) << int(Decoder::Failed) << 413 << QByteArray()
        << qint64(-1);
    QTest::newRow("size line of 4,095 bytes")
        << sizeLine4095 + "\na\r\n0\r\n\r\n"
        << oneMiB << int(Decoder::Complete) << 0 << QByteArray("a") << qint64(-1);
    QTest::newRow("size line of 4,096 bytes")
        << sizeLine4095 + "x\na\r\n0\r\n\r\n"
        << oneMiB << int(Decoder::Failed) << 400 << QByteArray() << qint64(-1);
    QTest::newRow("trailers of 8 KiB") << "0\r\n" + trailer8192 << oneMiB << int(Decoder::Complete)
                                       << 0 << QByteArray() << qint64(-1);
    QTest::newRow("trailers of 8 KiB and one byte")
        << "0\r\nT" + trailer8192 << oneMiB << int(Decoder::Failed) << 431 << QByteArray()
        << qint64(-1);
    QTest::newRow("data end of CR CR") << QByteArray("1\r\na\r\r\n") << oneMiB
                                       << int(Decoder::Failed) << 400 << QByteArray() << qint64(-1);
}

void tst_ZRHttpChunkDecoder::decode()
{
    QFETCH(QByteArray, data);
    QFETCH(qint64, maxBodySize);
    QFETCH(int, status);
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, body);
    QFETCH(qint64, bytesUsed);

    const auto check = [&](const QVector<int> &cuts, const char *how) {
        Decoder decoder(maxBodySize);
        qint64 used = 0;
        int start = 0;
        for (int end : cuts + QVector<int> { data.size() }) {
            used += decoder.feed(data.constData() + start, end - start);
            start = end;
        }
        const QByteArray where = QByteArray(how) + " at " + QByteArray::number(cuts.value(0));
        QVERIFY2(decoder.status() == status, where);
        QVERIFY2(decoder.httpStatus() == httpStatus, where);
        if (status == Decoder::Failed)
            return;
        QVERIFY2(decoder.body() == body, where);
        QVERIFY2(used == decoder.bytesUsed(), where);
        QVERIFY2(used == (bytesUsed < 0 ? data.size() : bytesUsed), where);
    };
    check({}, "whole");
    QVector<int> everyByte;
    for (int i = 1; i < data.size(); ++i)
        everyByte.append(i);
    check(everyByte, "byte by byte");
    for (int i = 1; i < data.size() && !QTest::currentTestFailed(); ++i)
        check({ i }, "cut");
}

QTEST_APPLESS_MAIN(tst_ZRHttpChunkDecoder)
#include "tst_zrhttpchunkdecoder.moc"
