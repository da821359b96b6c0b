#ifndef ID_NUMBER_H
#define ID_NUMBER_H

#include <QtEndian>
#include <QtGlobal>

#include <cstring>

// A six-byte tag or anchor id as a number, byte 0 highest: a key that hashes
// and compares without comparing bytes (the estimators look their per-tag and
// per-anchor state up several times per transmission).
// Read as a four- and a two-byte word in registers: six bytes stored into an
// eight-byte word on the stack and read back as one stall the store
// forwarding, some 5 ns per id.
inline quint64 idNumber(const quint8 (&id)[6])
{
    quint32 high;
    quint16 low;
    std::memcpy(&high, id, 4);
    std::memcpy(&low, id + 4, 2);
    return quint64(qFromBigEndian(high)) << 16 | qFromBigEndian(low);
}

#endif // ID_NUMBER_H
