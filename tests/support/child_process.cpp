#include "child_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <csignal>

// Long enough for a sanitized program on a loaded machine to stop and write its reports after SIGTERM.
constexpr int kEndMs = 20000;

ChildProcess::ChildProcess(const QString &path, int expectedExitCode)
    : program(path), logFile(logDir.filePath(QStringLiteral("stderr"))), expected(expectedExitCode)
{
    proc.setStandardErrorFile(logFile.fileName(), QIODevice::Append); // collected over every start
}

ChildProcess::~ChildProcess() { endAndCheck(); }

bool ChildProcess::start(const QStringList &args)
{
    proc.start(program, args);
    endSeen = !proc.waitForStarted(10000); // one that never ran is the test's failed start()
    return !endSeen;
}

QString ChildProcess::log()
{
    if (logFile.isOpen() || logFile.open(QIODevice::ReadOnly))
        collected += QString::fromUtf8(logFile.readAll());
    return collected;
}

bool ChildProcess::waitForLog(const QString &text, int timeoutMs, int times)
{
    QDeadlineTimer deadline(timeoutMs);
    while (log().count(text) < times) {
        if (deadline.hasExpired() || proc.state() == QProcess::NotRunning)
            return log().count(text) >= times;
        proc.waitForFinished(20);
    }
    return true;
}

int ChildProcess::finish(int timeoutMs)
{
    if (proc.state() != QProcess::NotRunning && !proc.waitForFinished(timeoutMs))
        return -2;
    log();
    endSeen = true;
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

int ChildProcess::terminate(int timeoutMs)
{
    if (proc.state() == QProcess::NotRunning) {
        finish(0);
        return -3;
    }
    ::kill(pid_t(proc.processId()), SIGTERM);
    return finish(timeoutMs);
}

void ChildProcess::kill()
{
    proc.kill();
    proc.waitForFinished(kEndMs);
    endSeen = true;
}

void ChildProcess::endAndCheck()
{
    if (endSeen)
        return;
    endSeen = true;
    QString ending;
    const bool wasRunning = proc.state() != QProcess::NotRunning;
    if (wasRunning) {
        ::kill(pid_t(proc.processId()), SIGTERM);
        if (!proc.waitForFinished(kEndMs)) {
            kill();
            ending = QStringLiteral("did not end within %1 s of SIGTERM").arg(kEndMs / 1000);
        }
    }
    if (ending.isEmpty() && proc.exitStatus() != QProcess::NormalExit)
        ending = QStringLiteral("crashed");
    else if (ending.isEmpty() && proc.exitCode() != expected)
        ending = QStringLiteral("exited with %1").arg(proc.exitCode());
    if (ending.isEmpty())
        return;
    const QString message = QStringLiteral("%1 %2%3 (expected: exit code %4); end of its log:\n%5")
                                .arg(QFileInfo(program).fileName(), ending,
                                     wasRunning ? QString() : QStringLiteral(" before the test ended it"))
                                .arg(expected).arg(log().right(2000));
    if (QTest::currentTestFunction())
        QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    else
        qFatal("%s", qPrintable(message));
}

ProgramRunner::ProgramRunner(const QString &programName, const QString &iniText) : ChildProcess(QString())
{
    const QString path = tmp.path() + QLatin1Char('/') + programName;
    QFile::copy(qEnvironmentVariable("SOLVER_BUILD_DIR") + QLatin1Char('/') + programName, path);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
    setProgram(path);
    if (!iniText.isNull()) {
        QFile file(tmp.path() + QStringLiteral("/config.ini"));
        if (file.open(QIODevice::WriteOnly))
            file.write(iniText.toUtf8());
    }
    process().setWorkingDirectory(tmp.path());
}

QString toolPath(const QString &name) { return qEnvironmentVariable("SOLVER_BUILD_DIR") + QStringLiteral("/tools/") + name; }
