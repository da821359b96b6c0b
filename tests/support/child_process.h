#ifndef CHILD_PROCESS_H
#define CHILD_PROCESS_H

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A program a test starts. Whatever happens to the test, the child is ended by SIGTERM, and an end nobody looked at
// is checked when the object goes: a crash, a sanitizer's error exit or an unexpected exit code fails the test.
// Standard error goes to a file: a child that logs much never blocks on a pipe.
class ChildProcess
{
public:
    explicit ChildProcess(const QString &program, int expectedExitCode = 0);
    virtual ~ChildProcess();
    Q_DISABLE_COPY(ChildProcess)

    bool start(const QStringList &args = {});
    // Standard error collected so far (over every start).
    QString log();
    // Waits until the log contains text `times` times; false on timeout or once the child ended without.
    bool waitForLog(const QString &text, int timeoutMs = 10000, int times = 1);
    // Waits for the child to end by itself: its exit code; -1 when it crashed, -2 when it still runs after timeoutMs.
    int finish(int timeoutMs = 30000);
    // SIGTERM, then finish(); -3 when it had ended before the signal.
    int terminate(int timeoutMs = 10000);
    // SIGKILL, for tests of a killed program: this end is not checked.
    void kill();
    QProcess &process() { return proc; }

protected:
    void setProgram(const QString &path) { program = path; }
    // A subclass whose members the child uses calls it in its destructor.
    void endAndCheck();

private:
    QString program;
    QProcess proc;
    QTemporaryDir logDir;
    QFile logFile;
    QString collected;
    int expected;
    bool endSeen = true; // nothing to check before the first start
};

// solver_unit or solver_unit_hr copied into a temporary directory of its own,
// beside the given config.ini (none when the text is null).
class ProgramRunner : public ChildProcess
{
public:
    explicit ProgramRunner(const QString &programName, const QString &iniText = QString());
    ~ProgramRunner() override { endAndCheck(); }
    QString dir() const { return tmp.path(); }

private:
    QTemporaryDir tmp;
};

// A program of the build tree's tools/ directory (solver_sim, solver_monitor).
QString toolPath(const QString &name);

#endif // CHILD_PROCESS_H
