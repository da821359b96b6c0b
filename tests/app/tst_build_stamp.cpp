#include "app/build_stamp.h"

#include <QTest>

#include <cstdlib>
#include <ctime>

class tst_BuildStamp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
    }
    void line_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("line");
        QTest::newRow("one-digit day padded by a space")
            << "Jan  3 2020" << "15:08:08" << "build time:2020-01-03 15:08:08 [1578064088]";
        QTest::newRow("two-digit day unchanged")
            << "Dec 24 2026" << "00:00:01" << "build time:2026-12-24 00:00:01 [1798070401]";
    }
    void line()
    {
        QFETCH(QString, date);
        QFETCH(QString, time);
        QFETCH(QString, line);
        QCOMPARE(buildTimeLine(date.toLatin1().constData(), time.toLatin1().constData()), line);
    }
};

QTEST_GUILESS_MAIN(tst_BuildStamp)
#include "tst_build_stamp.moc"
