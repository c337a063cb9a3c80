// Feeds arbitrary bytes to the form parser as a multipart/form-data body (boundary "XyZ")
// whole and in pieces of a size the first byte chooses, and stops on any difference between
// the two readings, on a part over its limit, and on a file left behind.
#include "../common/fuzzcheck.h"
#include <zrhttpform.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

struct Reading
{
    int error = 0;
    QByteArrayList parts;
};

Reading read(const QByteArray &body, int piece, const ZRHttpForm::Limits &limits)
{
    ZRHttpForm form("multipart/form-data; boundary=XyZ", limits);
    for (int at = 0; at < body.size(); at += piece)
        form.feed(body.mid(at, piece));
    form.finish();
    Reading reading { int(form.error()), {} };
    for (const ZRHttpForm::Part &part : form.parts()) {
        QByteArray content = part.value;
        if (part.isFile()) {
            QFile file(part.filePath);
            check(file.open(QIODevice::ReadOnly), "a file part without its file");
            content = file.readAll();
            check(content.size() <= limits.maxFileSize, "a file over its limit");
        } else {
            check(content.size() <= limits.maxFieldSize, "a field over its limit");
        }
        check(content.size() == part.size, "a part's size is not its content's");
        reading.parts += part.name.toUtf8() + '\0' + part.fileName.toUtf8() + '\0'
            + part.contentType + '\0' + content;
    }
    check(reading.parts.size() <= limits.maxParts, "more parts than allowed");
    return reading;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static QTemporaryDir folder;
    ZRHttpForm::Limits limits;
    limits.maxParts = 8;
    limits.maxFieldSize = 256;
    limits.maxFileSize = 1024;
    limits.directory = folder.path();
    const int piece = 1 + data[0] % 16;
    const QByteArray body(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const Reading whole = read(body, qMax(1, body.size()), limits);
    const Reading cut = read(body, piece, limits);
    check(whole.error == cut.error, "the same bytes cut otherwise give another error");
    check(whole.parts == cut.parts, "the same bytes cut otherwise give other parts");
    check(QDir(folder.path()).isEmpty(), "a file left behind");
    return 0;
}
