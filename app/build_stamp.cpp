#include "app/build_stamp.h"

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QTime>

QString buildTimeLine(const char *buildDate, const char *buildTime)
{
    // A one-digit day is padded with a space by the compiler: "Jan  3 2020".
    QString dateText = QString::fromLatin1(buildDate);
    dateText.replace(QLatin1String("  "), QLatin1String(" 0"));
    const QDate date = QLocale(QLocale::English).toDate(dateText, QStringLiteral("MMM dd yyyy"));
    const QTime time = QTime::fromString(QString::fromLatin1(buildTime), QStringLiteral("hh:mm:ss"));
    const quint32 seconds = static_cast<quint32>(QDateTime(date, time, Qt::LocalTime).toSecsSinceEpoch());
    return QStringLiteral("build time:") + date.toString(QStringLiteral("yyyy-MM-dd"))
           + time.toString(QStringLiteral(" hh:mm:ss")) + QStringLiteral(" [") + QString::number(seconds)
           + QStringLiteral("]");
}
