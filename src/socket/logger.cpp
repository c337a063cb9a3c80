#include "logger.h"

#include "zrlogging_p.h"

#include <QDateTime>
#include <QFile>

namespace {

const char logFileName[] = "libzrnet.log";

// One unbuffered write of the whole line: with O_APPEND the kernel places it
// in one piece even when other threads or processes append at the same time.
void appendLine(const QString &line)
{
    QFile file(QString::fromLatin1(logFileName));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
    // The locale's encoding, as a text stream on the file would use.
    file.write((line + QLatin1Char('\n')).toLocal8Bit());
    file.close();
}

} // namespace

void Logger::log(QString level, QString message)
{
    const QString line = QDateTime::currentDateTime().toString(Qt::TextDate) + QLatin1String(" - ")
        + level + QLatin1String(": ") + message;
    appendLine(line);
    // Passed as an argument, never as a format, so '%' stays literal.
    qCDebug(lcLog).noquote() << line;
}

void Logger::logInfo(QString message)
{
    log(QStringLiteral("Info"), message);
}

void Logger::logError(QString message)
{
    log(QStringLiteral("Error"), message);
}

void Logger::logDebug(QString message)
{
    log(QStringLiteral("Debug"), message);
}
