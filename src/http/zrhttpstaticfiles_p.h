#ifndef ZRHTTPSTATICFILES_P_H
#define ZRHTTPSTATICFILES_P_H

#include "zrhttpreply.h"
#include "zrhttprouter.h"

#include <QMutex>
#include <QString>

#include <sys/types.h>

#include <utility>

class ZRHttpRequest;

// A folder that ZRHttpRouter::serveDirectory() serves, from any number of threads at once. Its
// real path (every link resolved) is looked up once, and again only when the path given leads
// to another folder (a link turned elsewhere) or a file is not found below it: a realpath()
// for every request would cost more than sending a small file.
class ZRHttpFolder
{
public:
    ZRHttpFolder(const QString &directory, const ZRHttpRouter::DirectoryOptions &options)
        : m_directory(directory), m_options(options)
    { }
    // The answer to a GET or HEAD of a file below the folder, the request's path segments after
    // the first depth naming it.
    ZRHttpReply serve(int depth, const ZRHttpRequest &request);
    // ZRHttpReply::setBodyFile() for a file looked at already.
    static void setBodyFile(ZRHttpReply &reply, const QString &path, QByteArray contentType,
        qint64 offset, qint64 length)
    {
        reply.assignBodyFile(path, std::move(contentType), offset, length);
    }

private:
    // Empty when the folder is not there.
    QString realPath(bool lookAgain);

    const QString m_directory;
    const ZRHttpRouter::DirectoryOptions m_options;
    QMutex m_mutex; // guards the three below
    QString m_real;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

#endif // ZRHTTPSTATICFILES_P_H
