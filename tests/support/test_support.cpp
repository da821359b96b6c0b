#include "test_support.h"

#include "common/config_file.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QStandardPaths>

#include <cstdlib>
#include <unistd.h>

ScopedConfig::ScopedConfig(const QString &iniText)
{
    QFile file(path());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(iniText.toUtf8());
    ConfigFile::setExecutableDirForTesting(tmp.path());
}

ScopedConfig::~ScopedConfig()
{
    // A newer ScopedConfig may have taken over already; leave it in place.
    if (ConfigFile::executableDir() == tmp.path())
        ConfigFile::setExecutableDirForTesting(QString());
}

QString ScopedConfig::read() const
{
    QFile file(path());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
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
    // The profile's file name was expanded with the parent's pid: give the
    // child a name of its own, or the two write over each other.
    const char *pattern = std::getenv("LLVM_PROFILE_FILE");
    if (pattern && __llvm_profile_write_file && __llvm_profile_set_filename) {
        const QByteArray own = QByteArray(pattern).replace("%p", QByteArray::number(getpid()) + "-child");
        __llvm_profile_set_filename(own.constData());
        __llvm_profile_write_file();
    }
    _exit(code);
}
