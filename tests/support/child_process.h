#ifndef CHILD_PROCESS_H
#define CHILD_PROCESS_H

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A program a test starts (solver_unit, a tool, a browser). Whatever happens
// to the test, the child is ended by SIGTERM, never left running or killed
// unseen, and how it ended is checked: a crash, a sanitizer's error exit (a
// report of the child: ThreadSanitizer exits 66, LeakSanitizer 23, ASan and
// UBSan abort) or another exit code than the expected one fails the test
// like a failed check of its own. An end the test did not look at is
// checked when the object goes. Standard error goes to a file, so that a
// child that logs much never waits for the test to read a full pipe.
class ChildProcess
{
public:
    explicit ChildProcess(const QString &program, int expectedExitCode = 0);
    virtual ~ChildProcess();
    Q_DISABLE_COPY(ChildProcess)

    bool start(const QStringList &args = {});
    // Standard error collected so far (over every start).
    QString log();
    // Waits until the log contains text `times` times; false on timeout or
    // once the child ended without.
    bool waitForLog(const QString &text, int timeoutMs = 10000, int times = 1);
    // Waits for the child to end by itself: its exit code; -1 when it
    // crashed, -2 when it still runs after timeoutMs.
    int finish(int timeoutMs = 30000);
    // SIGTERM, then finish(); -3 when it had ended before the signal.
    int terminate(int timeoutMs = 10000);
    // SIGKILL, for tests of a killed program: this end is not checked.
    void kill();
    QProcess &process() { return proc; }

protected:
    void setProgram(const QString &path) { program = path; }
    // Ends a child still running and checks an end nobody looked at; a
    // subclass whose members the child uses calls it in its destructor.
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

// solver_unit or solver_unit_hr copied into a temporary directory of its own
// with the given config.ini (none when the text is null), so that the
// program reads that file beside its executable.
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
