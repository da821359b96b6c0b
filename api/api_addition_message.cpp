#include "api/api_addition_message.h"

#include "api/api_json_writer.h"
#include "common/logwriter.h"

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

} // namespace

const char *const ApiAdditionMessage::fieldKeys[FieldCount] = {
    "RRI", "VO2", "calorie", "distance", "heart_rate", "period_calorie", "signal_quality", "speed", "step"};

ApiAdditionMessage::ApiAdditionMessage(int heartRate, const QString &hrvText)
    : hasHeartRate(true), heartrate(heartRate), HRV(hrvText)
{
}

QJsonObject ApiAdditionMessage::json() const
{
    QJsonObject object;
    for (int i = 0; hasFields && i < FieldCount; ++i)
        object.insert(QLatin1String(fieldKeys[i]), fields[i]);
    if (hasHeartRate) {
        object.insert(QStringLiteral("heartrate"), heartrate);
        object.insert(QStringLiteral("HRV"), HRV);
    }
    return object;
}

QByteArray ApiAdditionMessage::compactJson() const
{
    // Members in ascending key order: "HRV" sorts first (capitals before
    // small letters), "heartrate" right after "heart_rate".
    QByteArray text;
    text.reserve(200);
    text += '{';
    if (hasHeartRate) {
        apiAppendKey(text, "HRV");
        apiAppendString(text, HRV);
    }
    for (int i = 0; i < FieldCount; ++i) {
        if (hasFields) {
            apiAppendKey(text, fieldKeys[i]);
            apiAppendNumber(text, qint64(fields[i]));
        }
        if (i == HeartRate && hasHeartRate) {
            apiAppendKey(text, "heartrate");
            apiAppendNumber(text, qint64(heartrate));
        }
    }
    text += '}';
    return text;
}

void ApiAdditionMessage::setMessage(const QByteArray &health)
{
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("%s", "");
    log->debugOutput("%s", "");
    log->debugOutput("%s", kRuleLine);

    const int heartRate = field16(health, kHeartRate);
    log->debugOutput("1.heart_rate = %dbpm", heartRate);

    const int vo2 = field16(health, kVo2);
    log->debugOutput("2.VO2 = %dmL/Kg*min", vo2 * 10);

    const int calorie = field16(health, kCalorie);
    log->debugOutput("3.calorie = %dKcal", calorie);

    const int speed = field16(health, kSpeed);
    const double metresPerHour = speed * kKilometresPerMile;
    log->debugOutput("4.speed = %.2fm/h = %.2fm/s", metresPerHour, metresPerHour / kSecondsPerHour);

    // Bit 0 of the low byte flags a bad signal; the other seven bits are the
    // quality in percent. The member keeps the whole 16-bit value.
    const int quality = byteAt(health, kSignalQuality);
    log->debugOutput("5.signal_quality = (%s-%d%%)", (quality & 1) ? "NO" : "OK", quality >> 1);

    const int step = field16(health, kStep);
    log->debugOutput("6.step = %d", step);

    const int distance = field16(health, kDistance);
    log->debugOutput("7.distance = %dm", distance);

    // Five values of at most "65535ms " each.
    char rriText[kRriCount * 8 + 1];
    int used = 0;
    int lastRri = 0;
    // The text only for a debug log that shows it: five conversions per
    // report cost a tenth of its formatting.
    const bool debug = log->isDebugEnabled();
    rriText[0] = '\0';
    for (int i = 0; i < kRriCount; ++i) {
        lastRri = field16(health, kRri + 2 * i);
        if (debug)
            used += std::snprintf(rriText + used, sizeof rriText - size_t(used), "%dms ", lastRri);
    }
    log->debugOutput("8.RRI = %s", rriText);

    const int periodCalorie = field16(health, kPeriodCalorie);
    log->debugOutput("9.period calorie = %dKcal", periodCalorie);
    hasFields = true;
    fields[RRI] = lastRri;
    fields[VO2] = vo2;
    fields[Calorie] = calorie;
    fields[Distance] = distance;
    fields[HeartRate] = heartRate;
    fields[PeriodCalorie] = periodCalorie;
    fields[SignalQuality] = field16(health, kSignalQuality);
    fields[Speed] = speed;
    fields[Step] = step;

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
    hasHeartRate = true;
    heartrate = heartRate;
    HRV = QLatin1String(kFixedHrv);
}
