#include "common/common_function.h"
#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"

#include "../support/test_support.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTest>

class tst_Common : public QObject
{
    Q_OBJECT
private slots:
    void toUpper_data();
    void toUpper();
    void identifierOrdering();

    void configReading_data();
    void configReading();
    void configMissingFileGivesEmptyValues();
    void configKeysAreSorted();

    void lostPacketFileAppendsLines();
};

void tst_Common::toUpper_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero gets a leading 0") << 0 << "00";
    QTest::newRow("15") << 15 << "0F";
    QTest::newRow("16") << 16 << "10";
    QTest::newRow("0x0a upper case") << 0x0a << "0A";
    QTest::newRow("0xff") << 0xff << "FF";
}

void tst_Common::toUpper()
{
    QFETCH(int, byte);
    QFETCH(QString, text);
    QCOMPARE(To_Upper(quint8(byte)), text);
}

void tst_Common::identifierOrdering()
{
    const TAG_IMEI_t a{{1, 2, 3, 4, 5, 6}};
    const TAG_IMEI_t same{{1, 2, 3, 4, 5, 6}};
    const TAG_IMEI_t lastByteHigher{{1, 2, 3, 4, 5, 7}};
    const TAG_IMEI_t x7f{{0x7f, 0, 0, 0, 0, 0}};
    const TAG_IMEI_t x80{{0x80, 0, 0, 0, 0, 0}};
    QVERIFY2(!(a < same) && !(same < a), "equal identifiers are not ordered either way");
    QVERIFY2(a < lastByteHigher && !(lastByteHigher < a), "byte 5 decides when the rest is equal");
    QVERIFY2(x7f < x80 && !(x80 < x7f), "bytes compare as unsigned values");
    const quint8 bytes[6] = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    QCOMPARE(idText(bytes), QStringLiteral("AABBCCDDEEFF"));
}

void tst_Common::configReading_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QVariant>("expected");
    const QString head = QStringLiteral("[g]\n");
    QTest::newRow("port in range") << head + "k=8000\n" << "port" << QVariant(8000);
    QTest::newRow("port 70000 reads 0") << head + "k=70000\n" << "port" << QVariant(0);
    QTest::newRow("negative port reads 0") << head + "k=-1\n" << "port" << QVariant(0);
    QTest::newRow("missing port reads 0") << head << "port" << QVariant(0);
    QTest::newRow("integer") << head + "k=42\n" << "integer" << QVariant(42);
    QTest::newRow("fraction as integer reads 0") << head + "k=10.5\n" << "integer" << QVariant(0);
    QTest::newRow("letters as integer read 0") << head + "k=ten\n" << "integer" << QVariant(0);
    QTest::newRow("double") << head + "k=1.25\n" << "real" << QVariant(1.25);
    QTest::newRow("missing double reads 0") << head << "real" << QVariant(0.0);
    QTest::newRow("quoted list is text") << head + "k=\"1,2,3\"\n" << "text" << QVariant("1,2,3");
    QTest::newRow("unquoted list reads empty") << head + "k=1,2,3\n" << "text" << QVariant("");
    QTest::newRow("missing text reads empty") << head << "text" << QVariant("");
    QTest::newRow("switch word exact") << head + "k=true\n" << "switch" << QVariant(true);
    QTest::newRow("switch word other case") << head + "k=True\n" << "switch" << QVariant(false);
    QTest::newRow("utf-8 text") << head + "k=\xc3\xa4rea\n" << "text" << QVariant(QStringLiteral("\u00e4rea"));
}

void tst_Common::configReading()
{
    QFETCH(QString, ini);
    QFETCH(QString, kind);
    QFETCH(QVariant, expected);
    ScopedConfig scoped(ini);
    ConfigFile config;
    const QString g = QStringLiteral("g"), k = QStringLiteral("k");
    if (kind == QLatin1String("port"))
        QCOMPARE(int(config.port(g, k)), expected.toInt());
    else if (kind == QLatin1String("integer"))
        QCOMPARE(config.integer(g, k), expected.toInt());
    else if (kind == QLatin1String("real"))
        QCOMPARE(config.real(g, k), expected.toDouble());
    else if (kind == QLatin1String("switch"))
        QCOMPARE(config.isWord(g, k, QStringLiteral("true")), expected.toBool());
    else
        QCOMPARE(config.text(g, k), expected.toString());
}

void tst_Common::configMissingFileGivesEmptyValues()
{
    // No file, then a directory named config.ini, which reads the same.
    QTemporaryDir empty;
    ConfigFile::setExecutableDirForTesting(empty.path());
    for (int pass = 0; pass < 2; ++pass) {
        ConfigFile config;
        QCOMPARE(config.text(QStringLiteral("g"), QStringLiteral("k")), QString());
        QCOMPARE(config.port(QStringLiteral("g"), QStringLiteral("k")), quint16(0));
        QVERIFY(config.keys(QStringLiteral("g")).isEmpty());
        QVERIFY(QDir(empty.path()).mkpath(QStringLiteral("config.ini")));
    }
    ConfigFile::setExecutableDirForTesting(QString());
}

void tst_Common::configKeysAreSorted()
{
    ScopedConfig scoped(QStringLiteral("[pan_id]\nzeta=1\nPANID=2\nalpha=3\n"));
    QCOMPARE(ConfigFile().keys(QStringLiteral("pan_id")),
             QStringList({QStringLiteral("PANID"), QStringLiteral("alpha"), QStringLiteral("zeta")}));
}

void tst_Common::lostPacketFileAppendsLines()
{
    QTemporaryDir dir;
    LogWriter *log = LogWriter::getLogCenter();
    log->setLogPath(dir.path() + QStringLiteral("/nested/"));
    const QString expected = dir.path() + QStringLiteral("/nested/log_lostPacket")
                             + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
    QCOMPARE(log->lostPacketFilePath(), expected);
    const char *hostile = "%s%n%x";
    log->writeForMatlabLogLostPacket("%s", hostile);
    log->writeForMatlabLogLostPacket("version:%s", "2.0.0");
    QFile file(expected);
    QVERIFY2(file.open(QIODevice::ReadOnly), "the missing directory is created");
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].endsWith("]: %s%n%x"), lines[0].constData());
    QVERIFY(lines[1].startsWith('['));
    QVERIFY(lines[1].endsWith("]: version:2.0.0"));
    log->setLogPath(QDir::currentPath());
}

QTEST_GUILESS_MAIN(tst_Common)
#include "tst_common.moc"
