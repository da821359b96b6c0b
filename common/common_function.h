#ifndef COMMON_FUNCTION_H
#define COMMON_FUNCTION_H

#include <QString>
#include <QtGlobal>

// One byte as two upper-case hexadecimal digits: 0x0a -> "0A".
QString To_Upper(quint8 byte);

// A 6-byte identifier as its 12-digit upper-case text, byte 0 first.
QString idText(const quint8 *bytes, int size = 6);

// The same text as idText, for log arguments on hot paths: no heap, no
// conversion from UTF-16.
struct IdHex {
    explicit IdHex(const quint8 *bytes, int size = 6);
    const char *text() const { return digits; }
    char digits[2 * 8 + 1];
};

#endif // COMMON_FUNCTION_H
