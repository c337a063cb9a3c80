#ifndef LOGGER_H
#define LOGGER_H

#include "zrnet_global.h"

#include <QString>

// Append-only log "libzrnet.log" in the current working directory.
//
// Each call appends one line "<date Qt::TextDate> - <level>: <message>\n" and
// echoes it (without the line feed) to the "zrnet.log" debug category. The file
// is opened and closed on every call and the line goes out with a single
// append, so calls from any thread never interleave inside a line. A file that
// cannot be opened is silently skipped; the echo still happens.
class ZRNET_EXPORT Logger
{
public:
    static void log(QString level, QString message);
    static void logInfo(QString message);
    static void logError(QString message);
    static void logDebug(QString message);

private:
    Logger() = delete;
};

#endif // LOGGER_H
