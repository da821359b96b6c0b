#include "../support/test_support.h"
#include "site_ini.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

// The real programs started as a user meets them: from a directory of their
// own, with or without config.ini.
class tst_Startup : public QObject
{
    Q_OBJECT
private slots:
    void startsWithConfig_data();
    void startsWithConfig();
    void waitsWithoutConfig_data();
    void waitsWithoutConfig();
};

namespace {
QString minimalIni() { return site::network(freeUdpPort(), freeUdpPort()); }
} // namespace

void tst_Startup::startsWithConfig_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("ini");
    QTest::addColumn<bool>("banner"); // debug mode
    QTest::newRow("solver_unit") << "solver_unit" << "2.0.0" << minimalIni() << false;
    QTest::newRow("solver_unit_hr") << "solver_unit_hr" << "1.0.0" << minimalIni() << false;
    QTest::newRow("debugmsg among other values")
        << "solver_unit" << "2.0.0" << minimalIni() + "[token_msg]\na=nothing\nb=debugmsg\n" << true;
    QTest::newRow("debug switch in wrong case")
        << "solver_unit" << "2.0.0" << minimalIni() + "[token_msg]\na=DebugMsg\n" << false;
    // Unreadable lines and an out-of-range port are passed over, not fatal.
    QTest::newRow("malformed config.ini")
        << "solver_unit" << "2.0.0"
        << QStringLiteral("\xff\xfe garbage [[[\n=\n[network_setting\nlocal_udp_listen_anchor_port=70000\n") << false;
}

void tst_Startup::startsWithConfig()
{
    QFETCH(QString, program);
    QFETCH(QString, version);
    QFETCH(QString, ini);
    ProgramRunner runner(program, ini);
    QVERIFY(runner.start());
    QVERIFY2(runner.waitForLog(QStringLiteral("STARTUP SUCESS!")), qPrintable(runner.log()));
    QTEST(runner.log().contains(QStringLiteral("*     this is debug mode        *")), "banner");
    const QString log = runner.log();
    QVERIFY2(log.contains(QRegularExpression(QStringLiteral(
                 R"(\[\d\d-\d\d \d\d:\d\d:\d\d\]: build time:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\]\n)"))),
             qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("]: version:") + version + QLatin1Char('\n')), qPrintable(log));
    QVERIFY(log.contains(QStringLiteral("]: STARTUP SUCESS!\n")));
    QVERIFY2(!log.contains(QStringLiteral("config file lost!")), qPrintable(log));

    const QString lostPacket = runner.dir() + QStringLiteral("/log_lostPacket")
                               + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
    QFile file(lostPacket);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(lostPacket));
    QVERIFY(QString::fromUtf8(file.readAll()).contains(QStringLiteral("]: version:") + version + QLatin1Char('\n')));

    // SIGTERM ends it cleanly. Generous bound for a loaded machine; a stuck
    // worker would take the full wait.
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(runner.terminate(3000), 0);
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(!runner.log().contains(QStringLiteral("Sanitizer")), qPrintable(runner.log()));
}

void tst_Startup::waitsWithoutConfig_data()
{
    QTest::addColumn<bool>("asDirectory");
    QTest::newRow("no config.ini") << false;
    QTest::newRow("config.ini is a directory") << true;
}

void tst_Startup::waitsWithoutConfig()
{
    QFETCH(bool, asDirectory);
    ProgramRunner runner(QStringLiteral("solver_unit"));
    if (asDirectory)
        QVERIFY(QDir(runner.dir()).mkdir(QStringLiteral("config.ini")));
    QVERIFY(runner.start());
    QVERIFY(runner.waitForLog(QStringLiteral("config file lost!")));
    // The file appearing later does not let it go on: only a restart does.
    if (!asDirectory) {
        QFile file(runner.dir() + QStringLiteral("/config.ini"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(minimalIni().toUtf8());
    }
    QTest::qWait(2500);
    const QString log = runner.log();
    QVERIFY2(log.count(QStringLiteral("config file lost!")) >= 2, qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("STARTUP SUCESS!")));
    QVERIFY(runner.process().state() == QProcess::Running);
    QCOMPARE(runner.terminate(), 0); // a service manager may stop it while it waits
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
