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
    void identifiers();
    void configReading_data();
    void configReading();
    void lostPacketFileTakesReceivedTextAsData();
};

void tst_Common::identifiers()
{
    // Bytes compare as unsigned values, the last byte decides when the rest is equal.
    const TAG_IMEI_t a{{1, 2, 3, 4, 5, 6}}, b{{1, 2, 3, 4, 5, 7}}, x7f{{0x7f, 0}}, x80{{0x80, 0}};
    QVERIFY(a < b && !(b < a) && !(a < a) && x7f < x80 && !(x80 < x7f));
    const quint8 bytes[6] = {0x0a, 0xbb, 0xcc, 0xdd, 0xee, 0x00};
    QCOMPARE(idText(bytes), QStringLiteral("0ABBCCDDEE00"));
}

void tst_Common::configReading_data()
{
    QTest::addColumn<QString>("value"); // null: key missing
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QVariant>("expected");
    QTest::newRow("port in range") << "8000" << "port" << QVariant(8000);
    QTest::newRow("port 70000 reads 0") << "70000" << "port" << QVariant(0);
    QTest::newRow("missing port reads 0") << QString() << "port" << QVariant(0);
    QTest::newRow("fraction as integer reads 0") << "10.5" << "integer" << QVariant(0);
    QTest::newRow("real") << "1.25" << "real" << QVariant(1.25);
    QTest::newRow("quoted list is text") << "\"1,2,3\"" << "text" << QVariant("1,2,3");
    QTest::newRow("unquoted list reads empty") << "1,2,3" << "text" << QVariant("");
    QTest::newRow("switch word other case") << "True" << "switch" << QVariant(false);
    QTest::newRow("utf-8 text") << "\u00e4rea" << "text" << QVariant(QStringLiteral("\u00e4rea"));
}

void tst_Common::configReading()
{
    QFETCH(QString, value);
    QFETCH(QString, kind);
    QFETCH(QVariant, expected);
    ScopedConfig scoped(value.isNull() ? QStringLiteral("[g]\n") : "[g]\nk=" + value + "\n");
    ConfigFile config;
    const QString g = QStringLiteral("g"), k = QStringLiteral("k");
    const QVariant read = kind == QLatin1String("port")      ? QVariant(int(config.port(g, k)))
                          : kind == QLatin1String("integer") ? QVariant(config.integer(g, k))
                          : kind == QLatin1String("real")    ? QVariant(config.real(g, k))
                          : kind == QLatin1String("switch")  ? QVariant(config.isWord(g, k, QStringLiteral("true")))
                                                             : QVariant(config.text(g, k));
    QCOMPARE(read, expected);
}

void tst_Common::lostPacketFileTakesReceivedTextAsData()
{
    QTemporaryDir dir;
    LogWriter *log = LogWriter::getLogCenter();
    log->setLogPath(dir.path() + QStringLiteral("/nested/"));
    const QString expected = dir.path() + QStringLiteral("/nested/log_lostPacket")
                             + QDate::currentDate().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
    QCOMPARE(log->lostPacketFilePath(), expected);
    log->writeForMatlabLogLostPacket("%s", "%s%n%x");
    log->writeForMatlabLogLostPacket("version:%s", "2.0.0");
    QFile file(expected);
    QVERIFY2(file.open(QIODevice::ReadOnly), "the missing directory is created");
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].startsWith('[') && lines[0].endsWith("]: %s%n%x"), lines[0].constData());
    QVERIFY(lines[1].endsWith("]: version:2.0.0"));
    log->setLogPath(QDir::currentPath());
}

QTEST_GUILESS_MAIN(tst_Common)
#include "tst_common.moc"
