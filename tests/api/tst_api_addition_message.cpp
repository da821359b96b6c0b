// Telemetry decoding: the nine values of solver_unit's block with their log
// lines, and the heart rate of solver_unit_hr's hexadecimal text.

#include "api/api_addition_message.h"
#include "api/api_json_writer.h"
#include "common/logwriter.h"
#include "tests/support/test_support.h"

#include <QtTest>

namespace {

QStringList g_lines;

// Keeps the message part of each console line ("[MM-dd hh:mm:ss]: text").
void captureLine(QtMsgType, const QMessageLogContext &, const QString &line)
{
    const int start = line.indexOf(QLatin1String("]: "));
    g_lines.append(start < 0 ? line : line.mid(start + 3));
}

using Values = QMap<QString, int>;

Values members(const QJsonObject &object)
{
    Values values;
    for (auto it = object.begin(); it != object.end(); ++it)
        values.insert(it.key(), it.value().toInt(-1));
    return values;
}

Values nineValues(int heart, int vo2, int calorie, int speed, int quality, int step, int distance, int rri,
                  int period)
{
    return Values{{"heart_rate", heart}, {"VO2", vo2},       {"calorie", calorie},
                  {"speed", speed},      {"signal_quality", quality}, {"step", step},
                  {"distance", distance}, {"RRI", rri},      {"period_calorie", period}};
}

} // namespace

class tst_ApiAdditionMessage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nineValues_data();
    void nineValues();
    void logLinesOfTheExample();
    void heartRateFromHexText_data();
    void heartRateFromHexText();
    void compactTextIsQtWritersText_data();
    void compactTextIsQtWritersText();
};

void tst_ApiAdditionMessage::initTestCase()
{
    // The logger reads its debug switch once, when it is first used.
    ScopedConfig config(QStringLiteral("[token_msg]\nswitch=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
    qInstallMessageHandler(captureLine);
}

void tst_ApiAdditionMessage::cleanupTestCase() { qInstallMessageHandler(nullptr); }

void tst_ApiAdditionMessage::nineValues_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<Values>("expected");
    QTest::newRow("example") << QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00")
                             << ::nineValues(75, 35, 210, 3000, 200, 4321, 1500, 812, 12);
    QTest::newRow("raw 16-bit values, quality FF 01")
        << QByteArray::fromHex("FFFF" "0100" "0000" "00FF" "FF01" "0000" "0000" "00000000000000000000" "FFFF")
        << ::nineValues(65535, 1, 0, 65280, 511, 0, 0, 0, 65535);
    // Fields the block does not hold completely read as 0.
    QTest::newRow("cut inside signal quality") << QByteArray::fromHex("4B002300D200B80BC8")
                                               << ::nineValues(75, 35, 210, 3000, 0, 0, 0, 0, 0);
    QTest::newRow("empty") << QByteArray() << ::nineValues(0, 0, 0, 0, 0, 0, 0, 0, 0);
}

void tst_ApiAdditionMessage::nineValues()
{
    QFETCH(QByteArray, block);
    QFETCH(Values, expected);
    ApiAdditionMessage message;
    message.setMessage(QByteArray::fromHex("0102030405060708090A0B0C0D0E0F101112131415161718191A"));
    message.setMessage(block); // every member of the previous block is replaced
    QCOMPARE(members(message.json()), expected);
    QCOMPARE(message.compactJson(), apiCompactJson(message.json()));
}

void tst_ApiAdditionMessage::logLinesOfTheExample()
{
    g_lines.clear();
    ApiAdditionMessage message;
    message.setMessage(QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00"));
    // One captured line per entry; the block is framed by two empty lines on each side.
    const QStringList expected = QStringLiteral(
        "\n\n----------------------------- \n1.heart_rate = 75bpm\n2.VO2 = 350mL/Kg*min\n3.calorie = 210Kcal\n"
        "4.speed = 4828.03m/h = 1.34m/s\n5.signal_quality = (OK-100%)\n6.step = 4321\n7.distance = 1500m\n"
        "8.RRI = 800ms 805ms 810ms 815ms 812ms \n9.period calorie = 12Kcal\n  \n10.heat map, edge computing do\n"
        "11.exercise load, USE HR, edge computing do\n12.**sprint number, we have not\n"
        "----------------------------- \n\n").split(QLatin1Char('\n'));
    QCOMPARE(g_lines, expected);
}

void tst_ApiAdditionMessage::heartRateFromHexText_data()
{
    QTest::addColumn<QString>("hex");
    QTest::addColumn<int>("heartRate");
    const QString head = QStringLiteral("A1B2C3D4");
    QTest::newRow("0x48 -> 72") << head + QStringLiteral("48") + QString(78, QLatin1Char('F')) << 72;
    QTest::newRow("0xFF") << head + QStringLiteral("FF") << 255;
    QTest::newRow("text ends inside the byte") << head + QStringLiteral("9") << 144;
    QTest::newRow("text ends before the byte") << QStringLiteral("A1B2") << 0;
    QTest::newRow("lower case has no entry") << head + QStringLiteral("ab") << 0;
}

void tst_ApiAdditionMessage::heartRateFromHexText()
{
    QFETCH(QString, hex);
    QFETCH(int, heartRate);
    ApiAdditionMessage message(1, QStringLiteral("x"));
    message.setHeartRateMessage(QStringLiteral("0000000063"));
    message.setHeartRateMessage(hex);
    QCOMPARE(message.json().size(), 2);
    QCOMPARE(message.json().value(QStringLiteral("heartrate")).toInt(-1), heartRate);
    QCOMPARE(message.json().value(QStringLiteral("HRV")).toString(), QStringLiteral("95"));
    QCOMPARE(message.compactJson(), apiCompactJson(message.json()));
}

// The report writes the addition message from its own text; it must be the
// writer's bytes whichever decoders ran on the object.
void tst_ApiAdditionMessage::compactTextIsQtWritersText_data()
{
    QTest::addColumn<bool>("constructedWithValues");
    QTest::addColumn<QByteArray>("block");  // for setMessage; null: not called
    QTest::addColumn<QString>("hex");       // for setHeartRateMessage; null: not called
    const QByteArray example = QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00");
    // Decoded blocks are checked with their values; these are the other paths.
    QTest::newRow("nothing decoded") << false << QByteArray() << QString();
    QTest::newRow("constructed, HRV to escape") << true << QByteArray() << QString();
    QTest::newRow("nine largest values") << false << QByteArray(26, '\xff') << QString();
    QTest::newRow("nine values over the two") << true << example << QString();
    QTest::newRow("heart rate over nine values") << false << example << QStringLiteral("0000000048");
}

void tst_ApiAdditionMessage::compactTextIsQtWritersText()
{
    QFETCH(bool, constructedWithValues);
    QFETCH(QByteArray, block);
    QFETCH(QString, hex);
    ApiAdditionMessage message = constructedWithValues ? ApiAdditionMessage(-7, QStringLiteral("a\"b\\")) : ApiAdditionMessage();
    if (!block.isNull())
        message.setMessage(block);
    if (!hex.isNull())
        message.setHeartRateMessage(hex);
    QCOMPARE(message.compactJson(), apiCompactJson(message.json()));
}

QTEST_GUILESS_MAIN(tst_ApiAdditionMessage)
#include "tst_api_addition_message.moc"
