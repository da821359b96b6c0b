#ifndef LOGWRITER_H
#define LOGWRITER_H

#include <QString>

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
    // Appends one line to the daily lost-packet file in logPath. Main thread only.
    void writeForMatlabLogLostPacket(const char *format, ...) LOGWRITER_PRINTF(2, 3);

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
};

void logToCmd(LOGLEVEL level, const QString &message);

#endif // LOGWRITER_H
