#ifndef ZRNET_TESTS_CHILDPROCESS_H
#define ZRNET_TESTS_CHILDPROCESS_H

// Runs a real client (curl, python3, ...) as a child process to its end.

#include <QByteArray>
#include <QProcess>
#include <QStringList>

struct ChildRun
{
    QByteArray output;
    QByteArray errors;
    int exitCode = -1;
    bool finished = false; // within the time allowed, and not by a signal

    bool ok() const { return finished && exitCode == 0; }
};

inline ChildRun runChild(
    const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(program, arguments);
    ChildRun run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    // Generous: a client stalled on the server hangs far longer than this.
    run.finished = process.waitForFinished(60000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.finished = run.finished && process.exitStatus() == QProcess::NormalExit;
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    run.exitCode = process.exitCode();
    return run;
}

#endif // ZRNET_TESTS_CHILDPROCESS_H
