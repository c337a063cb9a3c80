#ifndef ZRNET_TESTS_WORKDIR_H
#define ZRNET_TESTS_WORKDIR_H

#include <QDir>
#include <QTemporaryDir>

// Makes a fresh temporary directory the working directory (where the log file
// goes) and returns to the previous one when destroyed.
class TemporaryWorkingDirectory
{
public:
    TemporaryWorkingDirectory() : m_previous(QDir::currentPath())
    {
        m_entered = m_dir.isValid() && QDir::setCurrent(m_dir.path());
    }
    ~TemporaryWorkingDirectory() { QDir::setCurrent(m_previous); }
    TemporaryWorkingDirectory(const TemporaryWorkingDirectory &) = delete;
    TemporaryWorkingDirectory &operator=(const TemporaryWorkingDirectory &) = delete;

    bool isValid() const { return m_entered; }
    QString path() const { return m_dir.path(); }

private:
    const QString m_previous;
    QTemporaryDir m_dir;
    bool m_entered = false;
};

#endif // ZRNET_TESTS_WORKDIR_H
