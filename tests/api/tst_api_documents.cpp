// The API documents as they go on the wire: member order at every level,
// compact form, number forms, and what each document keeps or follows.
// Built for both programs; the expected reports differ only where they must.

#include "api/api_json.h"
#include "api/api_json_writer.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "tests/support/test_support.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <QJsonArray>
#include <QtTest>

#include <cmath>
#include <limits>

namespace {

// "[g]\ng_k=v\n..." from "k=v,..." pairs: the example groups prefix every key.
QString group(const char *name, const char *pairs)
{
    QString text = QStringLiteral("[%1]\n").arg(QLatin1String(name));
    for (const QString &pair : QString::fromLatin1(pairs).split(QLatin1Char(',')))
        text += QLatin1String(name) + QLatin1Char('_') + pair + QLatin1Char('\n');
    return text;
}

QString exampleIni()
{
    return QStringLiteral("[solver_unit_version]\nsolver_uint_available_version=2.1.0\n"
                          "solver_uint_current_version=2.0.0\n[positioning_tech]\npositioning_tech=UWB\n")
           + group("location_quality_info", "indicator=1,horiz_accuracy=0.25,vert_accuracy=0.5,unit=m")
           + group("update_interval", "min_updatetime=100,default_updatetime=1000")
           + group("positioning_area", "id=A1,name=hall,address=street 1,description=ground floor")
           + group("outdoor_coordinate_system", "name=WGS84,description=reference")
           + group("coordinate_reference", "x=116.25,y=39.75,z=0,angle_x=0,angle_z=0")
           + group("area_quality_info", "horiz_accuracy=1.5,vert_accuracy=2,unit=cm");
}

const char kReference[] = R"({"angle_x":0,"angle_z":0,"ocs":{"description":"reference","name":"WGS84"},)"
                          R"("x":116.25,"y":39.75,"z":0})";
const char kLocationQuality[] = R"({"horizAccuracy":0.25,"qualityIndicator":1,"unit":"m","vertAccuracy":0.5})";
const char kOption[] = R"({"coordinateReference":%1,"positioningArea":{"areaAddress":"street 1",)"
                       R"("areaDescription":"ground floor","areaId":"A1","areaName":"hall"},"positioningTech":"UWB",)"
                       R"("qualityInfo":{"areaHorizAccuracy":1.5,"areaVertAccuracy":2,"unit":"cm"},)"
                       R"("updateInterval":{"defaultUpdateTime":1000,"minUpdateTime":100}})";

// The telemetry example block: 75, 35, 210, 3000, 200, 4321, 1500, RRI ... 812, 12.
QByteArray exampleTelemetry()
{
    return QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00");
}

QByteArray hrTelemetry(quint8 heartRate)
{
    QByteArray block(44, '\x11');
    block[4] = char(heartRate);
    return block;
}

// Reports one tag the way the report slot does in this program.
void report(ApiJson &json, const QString &tag, double x, double y, const QByteArray &block)
{
    if constexpr (variant::kHrBuild)
        json.indoorLocationData().setTagMessage(tag, x, y, QString::fromLatin1(block.toHex().toUpper()));
    else
        json.indoorLocationData().setTagMessage(tag, x, y, block);
}

QString wire(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Time texts are replaced by "T" after checking their form.
QString withoutTimes(QString text)
{
    static const QRegularExpression time(QStringLiteral(R"re(":"(\d{8}T\d{6})")re"));
    return text.replace(time, QStringLiteral("\":\"T\""));
}

ApiJson exampleJson() { return ApiJson::fromConfig(ConfigFile()); }

} // namespace

class tst_ApiDocuments : public QObject
{
    Q_OBJECT

private slots:
    void positionReportOnTheWire();
    void reportTextIsQtWritersText_data();
    void reportTextIsQtWritersText();
    void readyMembersTakeTheirPlace_data();
    void readyMembersTakeTheirPlace();
    void capabilitiesInitializationStop();
    void emptyConfigurationKeepsEveryMember();
};

void tst_ApiDocuments::positionReportOnTheWire()
{
    ScopedConfig config{exampleIni()};
    ApiJson json = exampleJson();
    const QByteArray block = variant::kHrBuild ? hrTelemetry(0x4B) : exampleTelemetry();
    report(json, QStringLiteral("0A1B2C3D4E5F"), 1225, 550, block);

    const QString addition = variant::kHrBuild
                                 ? QStringLiteral(R"({"HRV":"95","heartrate":75})")
                                 : QStringLiteral(R"({"RRI":812,"VO2":35,"calorie":210,"distance":1500,)"
                                                  R"("heart_rate":75,"period_calorie":12,"signal_quality":200,)"
                                                  R"("speed":3000,"step":4321})");
    QString expected = QStringLiteral(R"({"indoorLocationData":{"additionMessage":%1,"coordinateReference":%2,)"
                                      R"("coordx":1225,"coordy":550,"locationTime":"T","qualityInfo":%3,)"
                                      R"("tagID":"0A1B2C3D4E5F"})")
                           .arg(addition, QLatin1String(kReference), QLatin1String(kLocationQuality));
    if constexpr (variant::kHrBuild)
        expected += QStringLiteral(R"(,"outdoorLocationData":{"coordinateReference":%1,"lat":116.25,)"
                                   R"("locationTime":"T","log":39.75,"qualityInfo":%2})")
                        .arg(QLatin1String(kReference), QLatin1String(kLocationQuality));
    expected += QLatin1Char('}');
    QCOMPARE(withoutTimes(wire(json.getMessages())), expected);
}

// The report slot writes the report member by member (api_json_writer.h); the
// bytes must be those of Qt's writer for every value a report can carry.
void tst_ApiDocuments::reportTextIsQtWritersText_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<QByteArray>("block");

    const QString example = exampleIni();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const QByteArray zeros(variant::kTelemetrySize, '\0');
    const QByteArray ones(variant::kTelemetrySize, '\xff');
    QTest::newRow("example") << example << "0A1B2C3D4E5F" << 1225.0 << 550.0 << exampleTelemetry();
    QTest::newRow("empty configuration") << QString() << "000000000000" << 0.0 << -0.0 << zeros;
    QTest::newRow("largest 16-bit values") << example << "FFFFFFFFFFFF" << -1e-7 << 1e20 << ones;
    QTest::newRow("not finite") << example << "0A1B2C3D4E5F" << nan << inf << zeros;
    QTest::newRow("short block") << example << "0A1B2C3D4E5F" << 1.0 / 3 << 2.5 << QByteArray::fromHex("4B0023");
    QTest::newRow("tag text to escape") << example << QStringLiteral("a\"b\\c\u0001d\u00e9\u20ac") << 1.0 << 2.0
                                        << exampleTelemetry();
    QTest::newRow("configured texts to escape")
        << example + QStringLiteral("[outdoor_coordinate_system]\noutdoor_coordinate_system_name=\"a\\\"b\"\n"
                                    "[location_quality_info]\nlocation_quality_info_unit=\u00b5m\n")
        << "0A1B2C3D4E5F" << 1.0 << 2.0 << exampleTelemetry();
    QRandomGenerator random(20201); // fixed: a failure can be repeated
    for (int i = 0; i < 20; ++i) {
        QByteArray block(variant::kTelemetrySize, '\0');
        for (char &byte : block)
            byte = char(random.bounded(256));
        QTest::addRow("random %d", i) << example << "0A1B2C3D4E5F" << (random.generateDouble() - 0.5) * 1e5
                                      << std::round(random.generateDouble() * 1e4) << block;
    }
}

void tst_ApiDocuments::reportTextIsQtWritersText()
{
    QFETCH(QString, ini);
    QFETCH(QString, tag);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(QByteArray, block);
    ScopedConfig config{ini};
    ApiJson json = exampleJson();
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages())); // before any report
    report(json, tag, x, y, block);
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages()));
    // A second report over the first, and the outdoor data moved in the hr build.
    report(json, QStringLiteral("0001020A0BFF"), y, x, exampleTelemetry());
    json.outdoorLocationData().setGPSMessage(0.5, -0.25);
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages()));
}

void tst_ApiDocuments::readyMembersTakeTheirPlace_data()
{
    QTest::addColumn<QStringList>("readyKeys");
    QTest::newRow("none") << QStringList();
    QTest::newRow("first") << QStringList{"a"};
    QTest::newRow("last") << QStringList{"z"};
    QTest::newRow("in the middle, two runs around it") << QStringList{"m"};
    QTest::newRow("all") << QStringList{"a", "m", "n", "z"};
    QTest::newRow("one the object lacks") << QStringList{"b", "n"};
}

void tst_ApiDocuments::readyMembersTakeTheirPlace()
{
    QFETCH(QStringList, readyKeys);
    const QJsonObject object{{"z", 1.5}, {"m", QJsonObject{{"k", "v"}}}, {"a", "t\"x"}, {"n", QJsonArray{1, 2}}};
    ApiReadyMembers ready;
    for (const QString &key : readyKeys) {
        // A text the writer would never make: it shows which path wrote the member.
        ready.append({key, apiMemberText(key, "\"ready " + key.toLatin1() + '"')});
    }
    QByteArray expected = apiCompactJson(object);
    for (const QString &key : readyKeys) {
        QJsonObject single{{key, object.value(key)}};
        const QByteArray written = apiCompactJson(single);
        if (object.contains(key))
            expected.replace(written.mid(1, written.size() - 2), apiMemberText(key, "\"ready " + key.toLatin1() + '"'));
    }
    QCOMPARE(apiCompactJson(object, ready), expected);
}

void tst_ApiDocuments::capabilitiesInitializationStop()
{
    ScopedConfig config{exampleIni()};
    ApiJson json = exampleJson();
    const QString option = QLatin1String(kOption).arg(QLatin1String(kReference));

    QCOMPARE(withoutTimes(wire(json.show_4_Stop())),
             QStringLiteral(R"({"clientIdentifier":"qd7203mvprtn","clientState":"stop","createdTime":"",)"
                            R"("currentVersion":"2.0.0","stoppedTime":"T"})"));

    QString capabilities = option;
    capabilities.insert(capabilities.size() - 1,
                        QStringLiteral(R"(,"version":{"availableVersion":"2.1.0","currentVersion":"2.0.0"})"));
    QCOMPARE(wire(json.show_1_Capabilitie()), capabilities);

    QCOMPARE(withoutTimes(wire(json.show_2_Initialize())),
             QStringLiteral(R"({"clientIdentifier":"qd7203mvprtn","clientState":"initialization",)"
                            R"("createdTime":"T","currentVersion":"2.0.0","positioningOption":%1})")
                 .arg(option));
}

void tst_ApiDocuments::emptyConfigurationKeepsEveryMember()
{
    ScopedConfig config{QString()};
    ApiJson json = exampleJson();
    QCOMPARE(wire(json.show_1_Capabilitie()),
             QStringLiteral(R"({"coordinateReference":{"angle_x":0,"angle_z":0,"ocs":{"description":"","name":""},)"
                            R"("x":0,"y":0,"z":0},"positioningArea":{"areaAddress":"","areaDescription":"",)"
                            R"("areaId":"","areaName":""},"positioningTech":"","qualityInfo":{"areaHorizAccuracy":0,)"
                            R"("areaVertAccuracy":0,"unit":""},"updateInterval":{"defaultUpdateTime":0,)"
                            R"("minUpdateTime":0},"version":{"availableVersion":"","currentVersion":""}})"));
    // Before any report the indoor record carries its start-up values.
    const QJsonObject indoor = json.getMessages().value(QStringLiteral("indoorLocationData")).toObject();
    QCOMPARE(indoor.value(QStringLiteral("tagID")).toString(), QStringLiteral("0"));
    QCOMPARE(indoor.value(QStringLiteral("additionMessage")).toObject(), QJsonObject());
}

QTEST_GUILESS_MAIN(tst_ApiDocuments)
#include "tst_api_documents.moc"
