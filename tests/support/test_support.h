#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

// Writes config.ini into a temporary directory and makes it the file that
// every executable-directory reader opens, for the life of the object.
class ScopedConfig
{
public:
    explicit ScopedConfig(const QString &iniText);
    ~ScopedConfig();
    QString dir() const { return tmp.path(); }
    QString path() const { return tmp.path() + QStringLiteral("/config.ini"); }
    QString read() const;

private:
    QTemporaryDir tmp;
};

// A UDP socket bound to a free loopback port, for capturing what the program sends.
class UdpSink
{
public:
    explicit UdpSink(quint16 port = 0);
    quint16 port() const { return socket.localPort(); }
    // Waits up to timeoutMs for the next datagram; empty when none came.
    QByteArray next(int timeoutMs = 3000);
    // Everything that arrives within windowMs.
    QList<QByteArray> drain(int windowMs);
    QUdpSocket socket;
};

// Sends one datagram from an unbound socket to 127.0.0.1:port.
void sendUdp(quint16 port, const QByteArray &datagram);

// A free UDP port on loopback at the moment of the call.
quint16 freeUdpPort();

// Starts a copy of a built program (solver_unit or solver_unit_hr) in a
// temporary directory of its own with the given config.ini (none when the
// text is null), so that the program reads that file beside its executable.
class ProgramRunner
{
public:
    explicit ProgramRunner(const QString &programName, const QString &iniText = QString());
    ~ProgramRunner();

    bool start(const QStringList &args = {});
    // Collected standard error so far (the log).
    QString log();
    // Waits until the log contains text; false on timeout.
    bool waitForLog(const QString &text, int timeoutMs = 5000);
    // SIGTERM and wait for the exit; returns the exit code, -1 on timeout.
    int terminate(int timeoutMs = 5000);
    void kill();
    QString dir() const { return tmp.path(); }
    QProcess &process() { return proc; }

private:
    QTemporaryDir tmp;
    QString program;
    QProcess proc;
    QString collected;
};

// Ends a forked child at once (no destructors of the parent's objects), after
// writing its coverage profile when the build records one.
[[noreturn]] void exitChild(int code);

#endif // TEST_SUPPORT_H
