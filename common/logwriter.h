#ifndef LOGWRITER_H
#define LOGWRITER_H

#include "common/config_keys.h"

#include <QByteArray>
#include <QDate>
#include <QElapsedTimer>
#include <QString>

#include <mutex>

enum LOGLEVEL : int { LOG_DEBUG = 0, LOG_INFO = 1, LOG_WARN = 2, LOG_ERROR = 3 };

#define LOGWRITER_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

// Process-wide logger. Every channel takes a printf-style format that must be a
// literal (the compiler checks it): received data is only ever an argument.
// Each call formats into its own stack buffer and hands one whole line on.
class LogWriter
{
public:
    static LogWriter *getLogCenter();

    void debugOutput(const char *format, ...) LOGWRITER_PRINTF(2, 3);
    void infoOutput(const char *format, ...) LOGWRITER_PRINTF(2, 3);
    void logToCmd(LOGLEVEL level, const char *format, ...) LOGWRITER_PRINTF(3, 4);
    // Appends one line to the daily lost-packet file in logPath; any thread
    // (the anchor receive thread, the main thread at start).
    // A day's file stops growing near kLostPacketFileLimit, with one line saying so.
    void writeForMatlabLogLostPacket(const char *format, ...) LOGWRITER_PRINTF(2, 3);

    // Any host on the anchor network can send malformed datagrams; this keeps
    // it from filling the disk (and then failing the writes of config.ini).
    static constexpr qint64 kLostPacketFileLimit = 64 * 1024 * 1024;
    void setLostPacketFileLimitForTesting(qint64 bytes) { lostPacketFileLimit = bytes; }
    // Days of lost-packet files kept (today's included) unless config.ini's
    // network_setting/lost_packet_keep_days says otherwise; 0 keeps all. With
    // the daily cap above, a lasting flood fills at most 14 x 64 MiB.
    static constexpr int kLostPacketKeepDaysDefault = configkeys::kDefaultKeepDays;
    int lostPacketKeepDays() const { return keepDays; }
    // Removes the lost-packet files of logPath that are too old, once a day:
    // the first call of each date does it. Called before every write of the
    // file and by a timer of the main thread.
    void lostPacketDayCheck();
    // Removes the files dated `keep` days or more before `today` (0: none).
    void lostPacketRemoveOld(const QDate &today, int keep);

    static QString getLevelStr(LOGLEVEL level);
    void setLogPath(const QString &path);
    void setLogLevel(LOGLEVEL level);

    bool isDebugEnabled() const { return debugEnabled; }
    QString lostPacketFilePath() const;

private:
    LogWriter();
    Q_DISABLE_COPY(LogWriter)

    static LogWriter *_logCenter;

    QString logPath;
    LOGLEVEL level = LOG_DEBUG;
    bool debugEnabled = false;
    qint64 lostPacketFileLimit = kLostPacketFileLimit;
    QString fullLostPacketFile; // the day's file that reached the limit
    int keepDays = kLostPacketKeepDaysDefault;
    QDate lostPacketCheckedOn;
    // The lost-packet file's state above (the full file, the day checked).
    std::mutex lostPacketMutex;
    void lostPacketDayCheckLocked();
};

// Text taken from the network, as a log line may show it: control characters
// (C0, DEL and C1) written as \xNN and the backslash doubled, so that a
// datagram can neither end the line, forge another one, nor drive the
// terminal (ESC sequences). UTF-8 in and out; a NUL no longer hides the rest.
QByteArray logPrintable(const QByteArray &utf8);
inline QByteArray logPrintable(const QString &text) { return logPrintable(text.toUtf8()); }

// Rate limit for log lines that outside input can trigger at any rate: up to
// `burst` events per period are logged, the rest only counted; the caller
// writes one summary line with that count, at most once per period (the
// first one at once).
class LogRateLimit
{
public:
    explicit LogRateLimit(int burst, qint64 periodMs = 1000);
    // Counts one event; true when it may be logged.
    bool allow();
    // Counts events that are never logged one by one.
    void suppress(qint64 count) { suppressed += count; }
    // The events not logged so far, once a summary is due; else 0.
    qint64 takeSuppressed();

private:
    QElapsedTimer clock;
    int burst;
    qint64 periodMs;
    qint64 periodStart = 0;
    int allowedInPeriod = 0;
    qint64 suppressed = 0;
    qint64 lastSummary = -1;
};

// Lines about records given up for a reason that outside input can trigger at
// any rate (anchors without coordinates, the tag limit, the store's bound)
// are written at most once a minute, each with a count so far. True, and the
// minute restarted, when such a line is due: never logged (lastMs 0) or a
// whole minute since the last one.
bool dropLineDue(qint64 &lastMs, qint64 nowMs);

void logToCmd(LOGLEVEL level, const QString &message);

#endif // LOGWRITER_H
