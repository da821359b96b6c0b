#include "api/api_json_writer.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <charconv>
#include <cmath>

QByteArray apiCompactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void apiAppendNumber(QByteArray &text, qint64 value)
{
    char digits[24];
    const char *end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, int(end - digits));
}

void apiAppendNumber(QByteArray &text, double value)
{
    // Qt keeps a double that holds an integer up to 2^53 as that integer, and
    // writes any other double that holds an integer below 2^64 in full digits.
    constexpr double kExactIntegers = 9007199254740992.0; // 2^53
    constexpr double kWrittenInFull = 18446744073709551616.0; // 2^64
    if (!std::isfinite(value))
        text += "null";
    else if (value != std::trunc(value) || std::fabs(value) >= kWrittenInFull)
        text += QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    else if (std::fabs(value) <= kExactIntegers)
        apiAppendNumber(text, qint64(value)); // also -0 as 0
    else
        text += QByteArray::number(value, 'f', QLocale::FloatingPointShortest);
}

void apiAppendString(QByteArray &text, const QString &value)
{
    // Printable ASCII without quote or backslash is written as it is; anything
    // else goes through the writer, whose escaping is then the one used.
    bool plain = true;
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u > 0x7e || u == '"' || u == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        text += '"';
        text += value.toLatin1();
        text += '"';
        return;
    }
    const QByteArray written = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    text.append(written.constData() + 1, written.size() - 2); // without [ ]
}

bool apiWrittenWithoutEscape(const QString &value)
{
    QByteArray text;
    apiAppendString(text, value);
    return !text.contains('\\');
}

void apiAppendKey(QByteArray &text, const char *key)
{
    if (!text.endsWith('{'))
        text += ',';
    text += '"';
    text += key;
    text += "\":";
}
