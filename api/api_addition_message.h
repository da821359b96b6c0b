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

    const QJsonObject &json() const { return object; }
    // json() in compact text, the bytes Qt's writer makes of it, kept in step.
    const QByteArray &compactJson() const { return text; }

private:
    int heartrate = 0;
    QString HRV;
    QJsonObject object;
    QByteArray text = "{}";
};

#endif // API_ADDITION_MESSAGE_H
