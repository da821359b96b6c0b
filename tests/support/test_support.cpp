#include "test_support.h"

#include "common/config_file.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <csignal>
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
    QByteArray data(int(socket.pendingDatagramSize()), Qt::Uninitialized);
    socket.readDatagram(data.data(), data.size());
    return data;
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

ProgramRunner::ProgramRunner(const QString &programName, const QString &iniText)
{
    const QString buildDir = qEnvironmentVariable("SOLVER_BUILD_DIR");
    program = tmp.path() + QLatin1Char('/') + programName;
    QFile::copy(buildDir + QLatin1Char('/') + programName, program);
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);
    if (!iniText.isNull()) {
        QFile file(tmp.path() + QStringLiteral("/config.ini"));
        if (file.open(QIODevice::WriteOnly))
            file.write(iniText.toUtf8());
    }
    proc.setWorkingDirectory(tmp.path());
    proc.setProcessChannelMode(QProcess::SeparateChannels);
}

ProgramRunner::~ProgramRunner() { kill(); }

bool ProgramRunner::start(const QStringList &args)
{
    proc.start(program, args);
    return proc.waitForStarted(5000);
}

QString ProgramRunner::log()
{
    collected += QString::fromUtf8(proc.readAllStandardError());
    return collected;
}

bool ProgramRunner::waitForLog(const QString &text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || proc.state() == QProcess::NotRunning)
            return log().contains(text);
        proc.waitForReadyRead(50);
    }
    return true;
}

int ProgramRunner::terminate(int timeoutMs)
{
    if (proc.state() == QProcess::NotRunning)
        return proc.exitCode();
    ::kill(pid_t(proc.processId()), SIGTERM);
    if (!proc.waitForFinished(timeoutMs))
        return -1;
    log();
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

void ProgramRunner::kill()
{
    if (proc.state() != QProcess::NotRunning) {
        proc.kill();
        proc.waitForFinished(3000);
    }
}

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
