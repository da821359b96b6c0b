#ifndef API_ADDITION_MESSAGE_H
#define API_ADDITION_MESSAGE_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The tag's telemetry as the "additionMessage" object of a position report.
// solver_unit decodes nine 16-bit values from a 26-byte block; solver_unit_hr
// reports the heart rate of a 44-byte block and a fixed HRV text. Both
// decoders exist in both programs; the report path picks its program's one.
class ApiAdditionMessage
{
public:
    // Empty object: nothing decoded yet.
    ApiAdditionMessage() = default;
    // {"heartrate": heartRate, "HRV": HRV}
    ApiAdditionMessage(int heartRate, const QString &HRV);

    // Decodes the 26-byte block (little-endian 16-bit fields), writes one
    // debug line per value and overwrites the nine members. A shorter block
    // reads its missing fields as 0.
    void setMessage(const QByteArray &health);

    // The block as upper-case hexadecimal text: the heart rate is block byte
    // 4, i.e. the digits at text positions 8 and 9 (missing digits count 0).
    // Rewrites "heartrate" and "HRV" only.
    void setHeartRateMessage(const QString &healthHex);

    // Value of one upper-case hexadecimal digit; '0' and anything else give 0.
    static int change_json(QChar digit);

    // The members decoded so far, as an object and in compact text (the
    // bytes Qt's writer makes of that object). Both are written from the
    // values on demand: a report needs only the text.
    QJsonObject json() const;
    QByteArray compactJson() const;

private:
    // The nine values of setMessage, in the key order of their members.
    enum Field { RRI, VO2, Calorie, Distance, HeartRate, PeriodCalorie, SignalQuality, Speed, Step, FieldCount };
    static const char *const fieldKeys[FieldCount];

    bool hasFields = false; // setMessage has run
    int fields[FieldCount] = {};
    bool hasHeartRate = false; // "heartrate" and "HRV" are members
    int heartrate = 0;
    QString HRV;
};

#endif // API_ADDITION_MESSAGE_H
