#include "common/common_function.h"

namespace {
const char kHexDigits[] = "0123456789ABCDEF";
}

QString To_Upper(quint8 byte)
{
    const QChar digits[2] = {QLatin1Char(kHexDigits[byte >> 4]), QLatin1Char(kHexDigits[byte & 0x0f])};
    return QString(digits, 2);
}

QString idText(const quint8 *bytes, int size)
{
    QString text;
    text.reserve(size * 2);
    for (int i = 0; i < size; ++i) {
        text.append(QLatin1Char(kHexDigits[bytes[i] >> 4]));
        text.append(QLatin1Char(kHexDigits[bytes[i] & 0x0f]));
    }
    return text;
}

IdHex::IdHex(const quint8 *bytes, int size)
{
    size = qBound(0, size, int(sizeof digits / 2));
    for (int i = 0; i < size; ++i) {
        digits[2 * i] = kHexDigits[bytes[i] >> 4];
        digits[2 * i + 1] = kHexDigits[bytes[i] & 0x0f];
    }
    digits[2 * size] = '\0';
}
