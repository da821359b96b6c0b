#include "test_support.h"

#include "common/config_file.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QStandardPaths>

#include <cmath>
#include <cstdlib>
#include <unistd.h>

ScopedConfig::ScopedConfig(const QString &iniText)
{
    writeFile(path(), iniText);
    ConfigFile::setExecutableDirForTesting(tmp.path());
}

ScopedConfig::~ScopedConfig()
{
    // A newer ScopedConfig may have taken over already; leave it in place.
    if (ConfigFile::executableDir() == tmp.path())
        ConfigFile::setExecutableDirForTesting(QString());
}

UdpSink::UdpSink(quint16 port) { socket.bind(QHostAddress(QHostAddress::LocalHost), port); }

QByteArray UdpSink::next(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!socket.hasPendingDatagrams()) {
        if (deadline.hasExpired())
            return QByteArray();
        socket.waitForReadyRead(qMax<qint64>(1, qMin<qint64>(50, deadline.remainingTime())));
        QCoreApplication::processEvents();
    }
    return socket.receiveDatagram().data();
}

QList<QByteArray> UdpSink::drain(int windowMs)
{
    QList<QByteArray> all;
    QDeadlineTimer deadline(windowMs);
    while (!deadline.hasExpired()) {
        const QByteArray d = next(int(qMax<qint64>(1, deadline.remainingTime())));
        if (!d.isNull())
            all.append(d);
    }
    return all;
}

QList<QByteArray> UdpSink::receive(int count, int timeoutMs)
{
    QList<QByteArray> all;
    for (QByteArray d; all.size() < count && !(d = next(timeoutMs)).isNull();)
        all.append(d);
    return all;
}

QList<QByteArray> UdpSink::pending()
{
    QList<QByteArray> all;
    while (socket.hasPendingDatagrams())
        all.append(socket.receiveDatagram().data());
    return all;
}

void sendUdp(quint16 port, const QByteArray &datagram)
{
    QUdpSocket s;
    s.writeDatagram(datagram, QHostAddress::LocalHost, port);
}

quint16 freeUdpPort()
{
    QUdpSocket s;
    s.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return s.localPort();
}

quint16 freeTcpPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

QString readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeFile(const QString &path, const QString &text)
{
    QFile f(path);
    const QByteArray bytes = text.toUtf8();
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    ToolRun r;
    const bool ended = p.waitForFinished(timeoutMs);
    if (!ended)
        p.kill(), p.waitForFinished(5000);
    if (ended && p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

HttpAnswer httpExchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    HttpAnswer answer;
    if (!socket.waitForConnected(5000))
        return answer;
    socket.write(request);
    for (QDeadlineTimer deadline(10000); socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired();)
        socket.waitForReadyRead(100);
    const QByteArray data = socket.readAll();
    const int end = data.indexOf("\r\n\r\n");
    answer.head = data.left(end);
    answer.body = end < 0 ? QByteArray() : data.mid(end + 4);
    answer.status = answer.head.mid(9, 3).toInt();
    return answer;
}

HttpAnswer httpGet(quint16 port, const QByteArray &target)
{
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

double metricSample(const QString &exposition, const QString &key)
{
    for (const QString &line : exposition.split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char(' ')))
            return line.mid(key.size() + 1).toDouble();
    }
    return std::nan("");
}

QString findTool(const QString &name)
{
    const QString own = qEnvironmentVariable("SOLVER_TOOL_PATH");
    if (!own.isNull()) { // empty: no tool at all (findExecutable would search PATH)
        const QStringList dirs = own.split(QLatin1Char(':'), Qt::SkipEmptyParts);
        return dirs.isEmpty() ? QString() : QStandardPaths::findExecutable(name, dirs);
    }
    const QString inPath = QStandardPaths::findExecutable(name);
    return inPath.isEmpty() ? QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin"}) : inPath;
}

bool requireAll() { return qEnvironmentVariable("SOLVER_REQUIRE_ALL") == QLatin1String("1"); }

extern "C" int __llvm_profile_write_file(void) __attribute__((weak));
extern "C" void __llvm_profile_set_filename(const char *pattern) __attribute__((weak));

void exitChild(int code)
{
    // The profile's file name was expanded with the parent's pid: the child needs its own, or the two overwrite.
    const char *pattern = std::getenv("LLVM_PROFILE_FILE");
    if (pattern && __llvm_profile_write_file && __llvm_profile_set_filename) {
        const QByteArray own = QByteArray(pattern).replace("%p", QByteArray::number(getpid()) + "-child");
        __llvm_profile_set_filename(own.constData());
        __llvm_profile_write_file();
    }
    _exit(code);
}
