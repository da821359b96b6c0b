#ifndef ID_NUMBER_H
#define ID_NUMBER_H

#include <QtEndian>
#include <QtGlobal>

#include <cstring>

// A six-byte tag or anchor id as a number, byte 0 highest: a key that hashes
// and compares without comparing bytes (the estimators look their per-tag and
// per-anchor state up several times per transmission).
inline quint64 idNumber(const quint8 (&id)[6])
{
    uchar word[8] = {0, 0};
    std::memcpy(word + 2, id, 6);
    return qFromBigEndian<quint64>(word);
}

#endif // ID_NUMBER_H
