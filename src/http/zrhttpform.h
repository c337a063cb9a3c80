#ifndef ZRHTTPFORM_H
#define ZRHTTPFORM_H

#include "zrnet_global.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class ZRHttpRequest;

// A multipart/form-data body (RFC 7578), read as it comes: fed in pieces of any size, it keeps
// the fields in memory, each within a bound, and writes each file to a file of its own as its
// bytes arrive, so memory stays flat whatever the size. The same bytes give the same parts
// however they are cut.
//
// Files go to the directory the limits name, or, by default, to a private temporary directory
// (mode 0700) made for the form. They are removed when the form is destroyed, unless
// keepFiles() was called: move or open them before then. A part's file name is the client's
// text, never a path used on this side: the files on disk get names of their own.
//
// Not thread-safe: one thread feeds a form at a time. Movable, not copyable (it owns files).
class ZRNET_EXPORT ZRHttpForm
{
public:
    struct Part
    {
        QString name; // the field's name
        QString fileName; // as the client sent it; empty for a field that is no file
        QByteArray contentType; // the part's Content-Type, empty if it gave none
        QByteArray value; // a field's bytes; empty for a file
        QString filePath; // where a file's bytes are; empty for a field
        qint64 size = 0; // of the value or the file
        bool isFile() const { return !filePath.isEmpty(); }
    };

    struct Limits
    {
        int maxParts = 128;
        qint64 maxFieldSize = 64 * 1024; // each field that is no file
        qint64 maxFileSize = -1; // each file; negative: no bound
        QString directory; // for the files; empty: a private temporary directory
    };

    enum Error {
        NoError,
        NotAForm, // no multipart/form-data type with a boundary of 1 to 70 characters
        Malformed, // a delimiter, a part's head or its Content-Disposition is broken
        TooManyParts,
        FieldTooLarge,
        FileTooLarge,
        CannotWrite, // a file could not be made, written or read: its cause in errorString()
        Incomplete, // finish() came before the closing delimiter
    };

    // contentType: the request's Content-Type, which names the boundary.
    explicit ZRHttpForm(const QByteArray &contentType);
    ZRHttpForm(const QByteArray &contentType, const Limits &limits);
    ~ZRHttpForm();
    ZRHttpForm(ZRHttpForm &&other) noexcept;
    ZRHttpForm &operator=(ZRHttpForm &&other) noexcept;
    ZRHttpForm(const ZRHttpForm &) = delete;
    ZRHttpForm &operator=(const ZRHttpForm &) = delete;

    // The request's body, whole, as one form, read from its file where it went to one
    // (ZRHttpRequest::bodyFile()); check error().
    static ZRHttpForm parse(const ZRHttpRequest &request);
    static ZRHttpForm parse(const ZRHttpRequest &request, const Limits &limits);

    // False once the form has failed; bytes after the closing delimiter are ignored.
    bool feed(const char *data, qint64 size);
    bool feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }
    // The body has ended: false unless the closing delimiter came (Incomplete otherwise).
    bool finish();

    Error error() const;
    QString errorString() const;
    // The closing delimiter has come and nothing failed.
    bool isComplete() const;
    // The parts read whole so far, in order.
    QList<Part> parts() const;
    // The first part of that name; null if there is none.
    const Part *part(const QString &name) const;
    // The files stay when the form goes.
    void keepFiles();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // ZRHTTPFORM_H
