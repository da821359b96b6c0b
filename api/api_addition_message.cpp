#include "api/api_addition_message.h"

#include "api/api_json_writer.h"
#include "common/logwriter.h"

#include <charconv>
#include <cstdio>

namespace {

// Offsets of the 16-bit fields in the solver_unit telemetry block.
constexpr int kHeartRate = 0;
constexpr int kVo2 = 2;
constexpr int kCalorie = 4;
constexpr int kSpeed = 6;
constexpr int kSignalQuality = 8;
constexpr int kStep = 10;
constexpr int kDistance = 12;
constexpr int kRri = 14; // five intervals, 14 to 22
constexpr int kRriCount = 5;
constexpr int kPeriodCalorie = 24;

constexpr double kKilometresPerMile = 1.609344;
constexpr double kSecondsPerHour = 3600.0;

// The heart rate is block byte 4, two hexadecimal digits from text position 8.
constexpr int kHeartRateHexPos = 8;
const char kFixedHrv[] = "95";
const char kFixedHrvText[] = "\"95\""; // as a JSON string

// Opens and closes the decoded fields of a report in the debug log.
const char kRuleLine[] = "----------------------------- ";

// A field that the block does not hold completely reads as 0: the decoder may
// be fed from elsewhere than the record path and must never read past the end.
int field16(const QByteArray &block, int offset)
{
    if (offset + 1 >= block.size())
        return 0;
    const auto *p = reinterpret_cast<const quint8 *>(block.constData()) + offset;
    return p[0] | (p[1] << 8);
}

int byteAt(const QByteArray &block, int offset)
{
    return offset < block.size() ? static_cast<quint8>(block.constData()[offset]) : 0;
}

// A member of ours: a key of at most 15 characters that needs no escaping,
// and an integer value or, when text is set, that text (at most 11
// characters) as the value. Written, with its comma, quotes and colon, it
// takes at most 30 bytes.
constexpr size_t kMaxPlainMembers = 9;
constexpr size_t kMaxPlainMemberText = 30;
struct PlainMember {
    const char *key;
    int number;
    const char *text = nullptr;
};

// Qt's writer spends about 0.2 us on each member, 2 us on the nine values of a
// report. An object made of exactly the given members (listed in ascending
// key order) is written here, '{' "key":value ... '}'; one that holds anything
// else (both decoders may have run on it) goes to the writer.
QByteArray compactMembers(const QJsonObject &object, std::initializer_list<PlainMember> members)
{
    if (members.size() > kMaxPlainMembers || object.size() != int(members.size()))
        return apiCompactJson(object);
    char text[kMaxPlainMembers * kMaxPlainMemberText + 2];
    char *end = text;
    *end++ = '{';
    for (const PlainMember &member : members) {
        if (end - text > 1)
            *end++ = ',';
        *end++ = '"';
        for (const char *c = member.key; *c; ++c)
            *end++ = *c;
        *end++ = '"';
        *end++ = ':';
        if (member.text) {
            for (const char *c = member.text; *c; ++c)
                *end++ = *c;
        } else {
            end = std::to_chars(end, end + 11, member.number).ptr;
        }
    }
    *end++ = '}';
    return QByteArray(text, int(end - text));
}

} // namespace

ApiAdditionMessage::ApiAdditionMessage(int heartRate, const QString &hrvText) : heartrate(heartRate), HRV(hrvText)
{
    object.insert(QStringLiteral("heartrate"), heartrate);
    object.insert(QStringLiteral("HRV"), HRV);
    text = apiCompactJson(object);
}

void ApiAdditionMessage::setMessage(const QByteArray &health)
{
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("%s", "");
    log->debugOutput("%s", "");
    log->debugOutput("%s", kRuleLine);

    const int heartRate = field16(health, kHeartRate);
    log->debugOutput("1.heart_rate = %dbpm", heartRate);
    object.insert(QStringLiteral("heart_rate"), heartRate);

    const int vo2 = field16(health, kVo2);
    log->debugOutput("2.VO2 = %dmL/Kg*min", vo2 * 10);
    object.insert(QStringLiteral("VO2"), vo2);

    const int calorie = field16(health, kCalorie);
    log->debugOutput("3.calorie = %dKcal", calorie);
    object.insert(QStringLiteral("calorie"), calorie);

    const int speed = field16(health, kSpeed);
    const double metresPerHour = speed * kKilometresPerMile;
    log->debugOutput("4.speed = %.2fm/h = %.2fm/s", metresPerHour, metresPerHour / kSecondsPerHour);
    object.insert(QStringLiteral("speed"), speed);

    // Bit 0 of the low byte flags a bad signal; the other seven bits are the
    // quality in percent. The member keeps the whole 16-bit value.
    const int quality = byteAt(health, kSignalQuality);
    log->debugOutput("5.signal_quality = (%s-%d%%)", (quality & 1) ? "NO" : "OK", quality >> 1);
    object.insert(QStringLiteral("signal_quality"), field16(health, kSignalQuality));

    const int step = field16(health, kStep);
    log->debugOutput("6.step = %d", step);
    object.insert(QStringLiteral("step"), step);

    const int distance = field16(health, kDistance);
    log->debugOutput("7.distance = %dm", distance);
    object.insert(QStringLiteral("distance"), distance);

    // Five values of at most "65535ms " each.
    char rriText[kRriCount * 8 + 1];
    int used = 0;
    int lastRri = 0;
    for (int i = 0; i < kRriCount; ++i) {
        lastRri = field16(health, kRri + 2 * i);
        used += std::snprintf(rriText + used, sizeof rriText - size_t(used), "%dms ", lastRri);
    }
    log->debugOutput("8.RRI = %s", rriText);
    object.insert(QStringLiteral("RRI"), lastRri);

    const int periodCalorie = field16(health, kPeriodCalorie);
    log->debugOutput("9.period calorie = %dKcal", periodCalorie);
    object.insert(QStringLiteral("period_calorie"), periodCalorie);
    text = compactMembers(object, {{"RRI", lastRri},
                                   {"VO2", vo2},
                                   {"calorie", calorie},
                                   {"distance", distance},
                                   {"heart_rate", heartRate},
                                   {"period_calorie", periodCalorie},
                                   {"signal_quality", field16(health, kSignalQuality)},
                                   {"speed", speed},
                                   {"step", step}});

    log->debugOutput("  ");
    log->debugOutput("10.heat map, edge computing do");
    log->debugOutput("11.exercise load, USE HR, edge computing do");
    log->debugOutput("12.**sprint number, we have not");
    log->debugOutput("%s", kRuleLine);
    log->debugOutput("%s", "");
    log->debugOutput("%s", "");
}

int ApiAdditionMessage::change_json(QChar digit)
{
    const char16_t c = digit.unicode();
    if (c >= u'1' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return 0;
}

void ApiAdditionMessage::setHeartRateMessage(const QString &healthHex)
{
    const auto digit = [&healthHex](int pos) { return pos < healthHex.size() ? change_json(healthHex.at(pos)) : 0; };
    const int heartRate = 16 * digit(kHeartRateHexPos) + digit(kHeartRateHexPos + 1);
    object.remove(QStringLiteral("heartrate"));
    object.remove(QStringLiteral("HRV"));
    object.insert(QStringLiteral("heartrate"), heartRate);
    object.insert(QStringLiteral("HRV"), QLatin1String(kFixedHrv));
    text = compactMembers(object, {{"HRV", 0, kFixedHrvText}, {"heartrate", heartRate}});
}
