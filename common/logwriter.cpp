#include "common/logwriter.h"

#include "common/config_file.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtDebug>

#include <cstdarg>
#include <cstdio>

LogWriter *LogWriter::_logCenter = nullptr;

namespace {

constexpr int kLineBufferSize = 8192;
constexpr qint64 kDropLinePeriodMs = 60000;

// Longer messages are cut to 8191 bytes. vsnprintf always terminates, so the
// buffer is not cleared first: that would cost 8 KiB of stores per line, and
// debug lines are written on the hot path.
struct Line {
    char text[kLineBufferSize];
    Line(const char *format, va_list args) LOGWRITER_PRINTF(2, 0)
    { std::vsnprintf(text, sizeof text, format, args); }
};

QString now(const char *pattern)
{
    return QDateTime::currentDateTime().toString(QLatin1String(pattern));
}

// "[MM-dd hh:mm:ss]: message", the line of the debug and information channels
// and of the lost-packet file.
QString stamped(const char *message)
{
    return QStringLiteral("[%1]: %2").arg(now("MM-dd hh:mm:ss"), QString::fromUtf8(message));
}

void toConsole(const QString &line)
{
    qInfo("%s", line.toUtf8().constData());
}

} // namespace

LogWriter::LogWriter() : logPath(QDir::currentPath())
{
    ConfigFile config;
    for (const QString &key : config.keys(QStringLiteral("token_msg"))) {
        if (config.text(QStringLiteral("token_msg"), key) == QLatin1String("debugmsg"))
            debugEnabled = true;
    }
    // Absent, or not a whole number of at least 0: the default, not 0 (which
    // would keep every file).
    keepDays = configkeys::lostPacketKeepDays(
        config.text(QStringLiteral("network_setting"), QStringLiteral("lost_packet_keep_days")));
}

LogWriter *LogWriter::getLogCenter()
{
    if (!_logCenter)
        _logCenter = new LogWriter;
    return _logCenter;
}

void LogWriter::debugOutput(const char *format, ...)
{
    // Not even formatted when the channel is off: a position report writes
    // some twenty debug lines, a tenth of the algorithm thread's time.
    if (!debugEnabled)
        return;
    va_list args;
    va_start(args, format);
    const Line line(format, args);
    va_end(args);
    toConsole(stamped(line.text));
}

void LogWriter::infoOutput(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const Line line(format, args);
    va_end(args);
    toConsole(stamped(line.text));
}

void LogWriter::logToCmd(LOGLEVEL msgLevel, const char *format, ...)
{
    if (msgLevel < level)
        return;
    va_list args;
    va_start(args, format);
    const Line line(format, args);
    va_end(args);
    if (msgLevel == LOG_INFO)
        toConsole(QStringLiteral("[%1][%2]: %3")
                      .arg(now("dd-MM hh:mm:ss"), getLevelStr(msgLevel), QString::fromUtf8(line.text)));
}

QString LogWriter::lostPacketFilePath() const
{
    QString path = logPath;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + QStringLiteral("log_lostPacket") + QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))
           + QStringLiteral(".log");
}

void LogWriter::lostPacketDayCheck()
{
    std::lock_guard<std::mutex> guard(lostPacketMutex);
    lostPacketDayCheckLocked();
}

void LogWriter::lostPacketDayCheckLocked()
{
    const QDate today = QDate::currentDate();
    if (today == lostPacketCheckedOn)
        return;
    lostPacketCheckedOn = today;
    lostPacketRemoveOld(today, keepDays);
}

void LogWriter::lostPacketRemoveOld(const QDate &today, int keep)
{
    if (keep <= 0)
        return;
    static const QRegularExpression name(QStringLiteral("^log_lostPacket(\\d{8})\\.log$"));
    const QDate oldestKept = today.addDays(1 - keep);
    QDir dir(logPath);
    const QStringList files =
        dir.entryList({QStringLiteral("log_lostPacket*.log")}, QDir::Files | QDir::NoSymLinks | QDir::Hidden);
    for (const QString &file : files) {
        const QRegularExpressionMatch match = name.match(file);
        const QDate date = QDate::fromString(match.captured(1), QStringLiteral("yyyyMMdd"));
        if (!match.hasMatch() || !date.isValid() || date >= oldestKept)
            continue;
        if (dir.remove(file))
            infoOutput("lost-packet file %s removed: older than %d days", file.toUtf8().constData(), keep);
        else
            infoOutput("lost-packet file %s is older than %d days but cannot be removed", file.toUtf8().constData(),
                       keep);
    }
}

void LogWriter::writeForMatlabLogLostPacket(const char *format, ...)
{
    std::lock_guard<std::mutex> guard(lostPacketMutex);
    lostPacketDayCheckLocked();
    va_list args;
    va_start(args, format);
    const Line line(format, args);
    va_end(args);
    // Opened and closed per line: a kill at any moment loses at most the line
    // being written, and a new file begins with each calendar day.
    const QString path = lostPacketFilePath();
    if (path == fullLostPacketFile)
        return;
    QDir().mkpath(logPath);
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Text))
        return;
    const QByteArray text = stamped(line.text).toUtf8() + '\n';
    if (file.size() + text.size() <= lostPacketFileLimit) {
        file.write(text);
        return;
    }
    // Full: one note, unless an earlier run of today wrote it already.
    fullLostPacketFile = path;
    const QByteArray note = QByteArrayLiteral("lost-packet log reached its limit of ")
                            + QByteArray::number(lostPacketFileLimit)
                            + QByteArrayLiteral(" bytes: nothing more is written to it today");
    QFile tail(path);
    if (tail.open(QIODevice::ReadOnly) && tail.seek(qMax<qint64>(0, tail.size() - note.size() - 2))
        && tail.readAll().contains(note))
        return;
    file.write(stamped(note.constData()).toUtf8() + '\n');
}

QString LogWriter::getLevelStr(LOGLEVEL level)
{
    switch (level) {
    case LOG_DEBUG: return QStringLiteral("LOG_DEBUG");
    case LOG_INFO: return QStringLiteral("LOG_INFO");
    case LOG_WARN: return QStringLiteral("LOG_WARN");
    case LOG_ERROR: return QStringLiteral("LOG_ERROR");
    }
    return QString();
}

void LogWriter::setLogPath(const QString &path) { logPath = path; }
void LogWriter::setLogLevel(LOGLEVEL newLevel) { level = newLevel; }

bool dropLineDue(qint64 &lastMs, qint64 nowMs)
{
    if (lastMs != 0 && nowMs - lastMs < kDropLinePeriodMs)
        return false;
    lastMs = qMax<qint64>(nowMs, 1);
    return true;
}

LogRateLimit::LogRateLimit(int burstPerPeriod, qint64 period) : burst(burstPerPeriod), periodMs(period)
{
    clock.start();
}

bool LogRateLimit::allow()
{
    const qint64 now = clock.elapsed();
    if (now - periodStart >= periodMs) {
        periodStart = now;
        allowedInPeriod = 0;
    }
    if (allowedInPeriod < burst) {
        ++allowedInPeriod;
        return true;
    }
    ++suppressed;
    return false;
}

qint64 LogRateLimit::takeSuppressed()
{
    if (suppressed == 0)
        return 0;
    const qint64 now = clock.elapsed();
    if (lastSummary >= 0 && now - lastSummary < periodMs)
        return 0;
    lastSummary = now;
    const qint64 count = suppressed;
    suppressed = 0;
    return count;
}

QByteArray logPrintable(const QByteArray &utf8)
{
    const QString text = QString::fromUtf8(utf8); // invalid sequences become U+FFFD
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (u == '\\')
            out += QLatin1String("\\\\");
        else
            out += c;
    }
    return out.toUtf8();
}

void logToCmd(LOGLEVEL level, const QString &message)
{
    LogWriter::getLogCenter()->logToCmd(level, "%s", message.toUtf8().constData());
}
