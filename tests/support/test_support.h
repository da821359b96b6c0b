#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUdpSocket>

#include "child_process.h"

// Whole-file text; empty when unreadable. writeFile: false unless every byte was written.
QString readFile(const QString &path);
bool writeFile(const QString &path, const QString &text);

// Writes config.ini into a temporary directory and makes it the file that
// every executable-directory reader opens, for the life of the object.
class ScopedConfig
{
public:
    explicit ScopedConfig(const QString &iniText);
    ~ScopedConfig();
    QString dir() const { return tmp.path(); }
    QString path() const { return tmp.path() + QStringLiteral("/config.ini"); }
    QString read() const { return readFile(path()); }

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
    // The next `count` datagrams, each waited for up to timeoutMs; fewer when one does not come.
    QList<QByteArray> receive(int count, int timeoutMs = 10000);
    // Everything queued already: once a sender has ended, all it sent over loopback.
    QList<QByteArray> pending();
    QUdpSocket socket;
};

// Sends one datagram from an unbound socket to 127.0.0.1:port.
void sendUdp(quint16 port, const QByteArray &datagram);

// A free UDP port on loopback at the moment of the call.
quint16 freeUdpPort();
// The same for TCP.
quint16 freeTcpPort();

// A program run to its end: exit code (-1 when it crashed, did not start or timed out) and both outputs.
struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QString err;
};
ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs = 120000);

// One HTTP exchange with 127.0.0.1:port, read until the server closes: status ("HTTP/1.1 200 OK"), head and body.
struct HttpAnswer {
    int status = 0;
    QByteArray head, body;
};
HttpAnswer httpExchange(quint16 port, const QByteArray &request);
HttpAnswer httpGet(quint16 port, const QByteArray &target);
// The value of the exposition's sample written exactly as `key` (name and labels), or NaN.
double metricSample(const QString &exposition, const QString &key);

// An outside program a test needs: its path in SOLVER_TOOL_PATH (directories
// as in PATH) when that is set, else in PATH, /usr/sbin and /usr/bin; or empty.
QString findTool(const QString &name);

// True under SOLVER_REQUIRE_ALL=1, which tools/test.sh sets.
bool requireAll();

// A test that cannot run here (a tool or a kernel setting missing) is skipped with the reason, or fails under
// SOLVER_REQUIRE_ALL=1: a run meant to cover everything must not pass with parts left out.
#define SOLVER_REQUIRE(condition, reason)                                                                             \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            if (requireAll())                                                                                          \
                QFAIL(qPrintable(QString(reason)));                                                                    \
            QSKIP(qPrintable(QString(reason)));                                                                        \
        }                                                                                                              \
    } while (false)

// Sets path to the tool's (findTool), required as above.
#define SOLVER_REQUIRE_TOOL(path, name)                                                                               \
    do {                                                                                                               \
        (path) = findTool(QStringLiteral(name));                                                                       \
        SOLVER_REQUIRE(!(path).isEmpty(), name " not found (tools/install_deps.sh installs it; SOLVER_TOOL_PATH: "    \
                                              + qEnvironmentVariable("SOLVER_TOOL_PATH", "not set") + ")");             \
    } while (false)

// Ends a forked child at once (no destructors of the parent's objects), after
// writing its coverage profile when the build records one.
[[noreturn]] void exitChild(int code);

#endif // TEST_SUPPORT_H
