#ifndef ZRNET_TESTS_MESSAGELOG_H
#define ZRNET_TESTS_MESSAGELOG_H

// Records the texts of one message type (and, if given, one logging category) written from
// any thread, and passes every message on to the handler installed before, Qt Test's own.

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <utility>

class MessageLog
{
public:
    // category: null for every category.
    static void install(QtMsgType type, const char *category = nullptr)
    {
        wantedType = type;
        wantedCategory = category;
        previous = qInstallMessageHandler(&MessageLog::handle);
    }
    static void uninstall() { qInstallMessageHandler(previous); }
    static QStringList texts()
    {
        QMutexLocker lock(&mutex);
        return recorded;
    }
    static void clear() { take(); }
    static QStringList take()
    {
        QMutexLocker lock(&mutex);
        return std::exchange(recorded, {});
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == wantedType
            && (!wantedCategory
                || (context.category && qstrcmp(context.category, wantedCategory) == 0))) {
            QMutexLocker lock(&mutex);
            recorded.append(text);
        }
        previous(type, context, text);
    }

    static inline QtMsgType wantedType = QtDebugMsg;
    static inline const char *wantedCategory = nullptr;
    static inline QtMessageHandler previous = nullptr;
    static inline QMutex mutex;
    static inline QStringList recorded;
};

#endif // ZRNET_TESTS_MESSAGELOG_H
