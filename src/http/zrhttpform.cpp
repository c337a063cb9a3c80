#include "zrhttpform.h"
#include "zrhttpname_p.h"
#include "zrhttprequest.h"

#include <QByteArrayMatcher>
#include <QFile>
#include <QPair>
#include <QTemporaryDir>
#include <QTemporaryFile>

namespace {

constexpr int maxHeadSize = 8192; // of one part's header lines
constexpr int maxPadding = 1024; // blanks after a delimiter, before its line end

using Parameters = QList<QPair<QByteArray, QByteArray>>;

bool isSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

// `type; name=value; name="quoted value"`: the type (lower case) first, under an empty
// name, then each parameter with its name in lower case and its value unquoted. False when a
// quoted string does not end.
bool readParameters(const QByteArray &text, Parameters *out)
{
    int at = text.indexOf(';');
    if (at < 0)
        at = text.size();
    out->append({ QByteArray(), text.left(at).trimmed().toLower() });
    while (at < text.size()) {
        ++at; // the ';'
        const int end = [&] {
            int i = at;
            while (i < text.size() && text.at(i) != '=' && text.at(i) != ';')
                ++i;
            return i;
        }();
        const QByteArray name = text.mid(at, end - at).trimmed().toLower();
        at = end;
        QByteArray value;
        if (at < text.size() && text.at(at) == '=') {
            ++at;
            while (at < text.size() && isSpaceOrTab(text.at(at)))
                ++at;
            if (at < text.size() && text.at(at) == '"') {
                for (++at; at < text.size() && text.at(at) != '"'; ++at) {
                    if (text.at(at) == '\\' && at + 1 < text.size())
                        ++at;
                    value += text.at(at);
                }
                if (at++ >= text.size())
                    return false;
                while (at < text.size() && text.at(at) != ';')
                    ++at;
            } else {
                const int semicolon = text.indexOf(';', at);
                const int stop = semicolon < 0 ? text.size() : semicolon;
                value = text.mid(at, stop - at).trimmed();
                at = stop;
            }
        }
        if (!name.isEmpty())
            out->append({ name, value });
    }
    return true;
}

QByteArray parameter(const Parameters &parameters, const char *name, bool *present = nullptr)
{
    for (int i = 1; i < parameters.size(); ++i) {
        if (parameters.at(i).first == name) {
            if (present)
                *present = true;
            return parameters.at(i).second;
        }
    }
    return QByteArray();
}

// RFC 2046 5.1.1: 1 to 70 characters, not ending in a space; never a line end.
bool validBoundary(const QByteArray &boundary)
{
    if (boundary.isEmpty() || boundary.size() > 70 || boundary.endsWith(' '))
        return false;
    for (const char c : boundary) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

} // namespace

struct ZRHttpForm::Private
{
    enum State { Preamble, AfterDelimiter, Head, Content, Epilogue, Failed };

    bool step();
    bool stepDelimited(); // Preamble and Content: up to the next delimiter
    bool stepAfterDelimiter();
    bool stepHead();
    bool startPart(const QByteArray &head);
    bool take(const char *data, qint64 size);
    bool endPart();
    bool openFile();
    bool fail(Error error, const QString &text = QString());

    Limits limits;
    QByteArray delimiter; // CRLF "--" boundary
    QByteArrayMatcher matcher;
    // Bytes not yet used: in Preamble and Content at most a delimiter's length but one is held
    // back, for the delimiter that may begin in it.
    QByteArray buffer = "\r\n"; // the first delimiter may begin the body
    State state = Preamble;
    Error error = NoError;
    QString errorText;
    QList<Part> parts;
    Part current;
    std::unique_ptr<QFile> file; // the current part's, while it is a file
    std::unique_ptr<QTemporaryDir> privateDirectory;
    QStringList files; // every file made, to remove as the form goes
    bool keep = false;
};

bool ZRHttpForm::Private::fail(Error code, const QString &text)
{
    state = Failed;
    error = code;
    errorText = text;
    buffer.clear();
    file.reset();
    return false;
}

bool ZRHttpForm::Private::step()
{
    switch (state) {
    case Preamble:
    case Content:
        return stepDelimited();
    case AfterDelimiter:
        return stepAfterDelimiter();
    case Head:
        return stepHead();
    case Epilogue:
        buffer.clear();
        return false;
    case Failed:
        return false;
    }
    return false;
}

bool ZRHttpForm::Private::stepDelimited()
{
    const int at = matcher.indexIn(buffer);
    const int ready = at >= 0 ? at : buffer.size() - (delimiter.size() - 1);
    if (ready > 0 && state == Content && !take(buffer.constData(), ready))
        return false;
    if (at < 0) {
        if (ready > 0)
            buffer.remove(0, ready);
        return false;
    }
    if (state == Content && !endPart())
        return false;
    buffer.remove(0, at + delimiter.size());
    state = AfterDelimiter;
    return true;
}

// "--" closes the body; otherwise blanks may pad the delimiter's line before its CRLF.
bool ZRHttpForm::Private::stepAfterDelimiter()
{
    if (buffer.size() < 2)
        return false;
    if (buffer.startsWith("--")) {
        state = Epilogue;
        buffer.clear();
        return false;
    }
    int blanks = 0;
    while (blanks < buffer.size() && isSpaceOrTab(buffer.at(blanks)))
        ++blanks;
    if (blanks > maxPadding)
        return fail(Malformed);
    if (buffer.size() - blanks < 2)
        return false;
    if (buffer.at(blanks) != '\r' || buffer.at(blanks + 1) != '\n')
        return fail(Malformed);
    buffer.remove(0, blanks + 2);
    state = Head;
    return true;
}

bool ZRHttpForm::Private::stepHead()
{
    int end = buffer.startsWith("\r\n") ? 0 : buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return buffer.size() > maxHeadSize ? fail(Malformed) : false;
    if (end > maxHeadSize)
        return fail(Malformed);
    const QByteArray head = buffer.left(end);
    buffer.remove(0, end == 0 ? 2 : end + 4);
    if (!startPart(head))
        return false;
    state = Content;
    return true;
}

// Header lines as a request's: CRLF only, no folding, a name before a colon.
bool ZRHttpForm::Private::startPart(const QByteArray &head)
{
    if (parts.size() >= limits.maxParts)
        return fail(TooManyParts);
    current = Part();
    Parameters disposition;
    for (int from = 0; from < head.size();) {
        int end = head.indexOf("\r\n", from);
        if (end < 0)
            end = head.size();
        const QByteArray line = head.mid(from, end - from);
        from = end + 2;
        const int colon = line.indexOf(':');
        if (line.contains('\r') || line.contains('\n') || colon <= 0 || isSpaceOrTab(line.at(0))
            || isSpaceOrTab(line.at(colon - 1)))
            return fail(Malformed);
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (zrSameName(name, "Content-Disposition")) {
            if (!disposition.isEmpty() || !readParameters(value, &disposition))
                return fail(Malformed);
        } else if (zrSameName(name, "Content-Type")) {
            current.contentType = value;
        }
    }
    bool hasName = false;
    bool hasFileName = false;
    current.name = QString::fromUtf8(parameter(disposition, "name", &hasName));
    current.fileName = QString::fromUtf8(parameter(disposition, "filename", &hasFileName));
    if (disposition.isEmpty() || disposition.first().second != "form-data" || !hasName)
        return fail(Malformed);
    return !hasFileName || openFile();
}

bool ZRHttpForm::Private::openFile()
{
    QString directory = limits.directory;
    if (directory.isEmpty()) {
        if (!privateDirectory) {
            privateDirectory = std::make_unique<QTemporaryDir>();
            if (!privateDirectory->isValid())
                return fail(CannotWrite, privateDirectory->errorString());
        }
        directory = privateDirectory->path();
    }
    auto made = std::make_unique<QTemporaryFile>(directory + QLatin1String("/form-XXXXXX"));
    made->setAutoRemove(false);
    if (!made->open())
        return fail(CannotWrite, made->errorString());
    current.filePath = made->fileName();
    files.append(current.filePath);
    file = std::move(made);
    return true;
}

bool ZRHttpForm::Private::take(const char *data, qint64 size)
{
    current.size += size;
    if (!file) {
        if (current.size > limits.maxFieldSize)
            return fail(FieldTooLarge);
        current.value.append(data, int(size));
        return true;
    }
    if (limits.maxFileSize >= 0 && current.size > limits.maxFileSize)
        return fail(FileTooLarge);
    if (file->write(data, size) != size)
        return fail(CannotWrite, file->errorString());
    return true;
}

bool ZRHttpForm::Private::endPart()
{
    if (file) {
        const bool flushed = file->flush();
        const QString why = file->errorString();
        file.reset();
        if (!flushed)
            return fail(CannotWrite, why);
    }
    parts.append(current);
    return true;
}

ZRHttpForm::ZRHttpForm(const QByteArray &contentType) : ZRHttpForm(contentType, Limits()) { }

ZRHttpForm::ZRHttpForm(const QByteArray &contentType, const Limits &limits)
    : d(std::make_unique<Private>())
{
    d->limits = limits;
    Parameters type;
    const QByteArray boundary = readParameters(contentType, &type) ? parameter(type, "boundary")
                                                                   : QByteArray();
    if (type.isEmpty() || type.first().second != "multipart/form-data" || !validBoundary(boundary)) {
        d->fail(NotAForm);
        return;
    }
    d->delimiter = "\r\n--" + boundary;
    d->matcher.setPattern(d->delimiter);
}

ZRHttpForm::~ZRHttpForm()
{
    if (!d || d->keep)
        return;
    d->file.reset();
    for (const QString &path : qAsConst(d->files))
        QFile::remove(path);
}

ZRHttpForm::ZRHttpForm(ZRHttpForm &&other) noexcept = default;
ZRHttpForm &ZRHttpForm::operator=(ZRHttpForm &&other) noexcept = default;

ZRHttpForm ZRHttpForm::parse(const ZRHttpRequest &request)
{
    return parse(request, Limits());
}

ZRHttpForm ZRHttpForm::parse(const ZRHttpRequest &request, const Limits &limits)
{
    ZRHttpForm form(request.headerValue("Content-Type"), limits);
    QFile file(request.bodyFile());
    if (request.bodyFile().isEmpty()) {
        form.feed(request.body());
    } else if (!file.open(QIODevice::ReadOnly)) {
        form.d->fail(CannotWrite, file.errorString());
    } else {
        QByteArray piece;
        while (!(piece = file.read(64 * 1024)).isEmpty() && form.feed(piece)) { }
    }
    form.finish();
    return form;
}

bool ZRHttpForm::feed(const char *data, qint64 size)
{
    if (d->state == Private::Failed)
        return false;
    if (d->state != Private::Epilogue && size > 0) {
        d->buffer.append(data, int(size));
        while (d->step()) { }
    }
    return d->state != Private::Failed;
}

bool ZRHttpForm::finish()
{
    if (d->state != Private::Epilogue && d->state != Private::Failed)
        d->fail(Incomplete);
    return isComplete();
}

ZRHttpForm::Error ZRHttpForm::error() const
{
    return d->error;
}

QString ZRHttpForm::errorString() const
{
    static const char *const texts[] = { "", "not a multipart/form-data body with a boundary",
        "malformed multipart body", "too many parts", "a field over its size limit",
        "a file over its size limit", "cannot write a file", "the body ended before its last delimiter" };
    const QString text = QString::fromLatin1(texts[d->error]);
    return d->errorText.isEmpty() ? text : text + QLatin1String(": ") + d->errorText;
}

bool ZRHttpForm::isComplete() const
{
    return d->state == Private::Epilogue;
}

QList<ZRHttpForm::Part> ZRHttpForm::parts() const
{
    return d->parts;
}

const ZRHttpForm::Part *ZRHttpForm::part(const QString &name) const
{
    for (const Part &part : d->parts) {
        if (part.name == name)
            return &part;
    }
    return nullptr;
}

void ZRHttpForm::keepFiles()
{
    d->keep = true;
    if (d->privateDirectory)
        d->privateDirectory->setAutoRemove(false);
}
