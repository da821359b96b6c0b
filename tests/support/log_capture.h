#ifndef LOG_CAPTURE_H
#define LOG_CAPTURE_H

#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

// Collects every log line (the logger writes through qInfo) while alive,
// without its "[time]: " stamp, from whatever thread logs. One at a time.
class LogCapture
{
public:
    LogCapture() : previous(qInstallMessageHandler(&LogCapture::handler)) { clear(); }
    ~LogCapture() { qInstallMessageHandler(previous); }
    Q_DISABLE_COPY(LogCapture)

    QStringList lines() const
    {
        // A copy of its own, made under the lock: a shared one would let the
        // logging thread's next append race with this copy's release.
        std::lock_guard<std::mutex> guard(lock());
        QStringList copy = store();
        copy.detach();
        return copy;
    }
    QStringList take()
    {
        std::lock_guard<std::mutex> guard(lock());
        QStringList all;
        all.swap(store());
        return all;
    }
    void clear() { take(); }
    int removeAll(const QString &line)
    {
        std::lock_guard<std::mutex> guard(lock());
        return store().removeAll(line);
    }
    int count(const QString &line) const { return lines().count(line); } // lines that are exactly `line`
    bool contains(const QString &part) const { return !lines().filter(part).isEmpty(); }
    QString dump() const { return lines().join(QLatin1Char('\n')); }

private:
    static std::mutex &lock()
    {
        static std::mutex m;
        return m;
    }
    static QStringList &store()
    {
        static QStringList all;
        return all;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        static const QRegularExpression stamp(QStringLiteral("^(\\[[^\\]]*\\])+: "));
        const QString text = QString(msg).remove(stamp);
        std::lock_guard<std::mutex> guard(lock());
        store().append(text);
    }
    QtMessageHandler previous;
};

#endif // LOG_CAPTURE_H
