#ifndef ALGORITHM_BASIC_DATA_H
#define ALGORITHM_BASIC_DATA_H

#include "common/global_data.h"

#include <QByteArray>
#include <QList>

// One complete transmission of one tag, as assembled by the tag store, and the
// solver input cut from its records.
class AlgorithmBasicData
{
public:
    // Fills anchorList, timeList and additionData from recordList; a set of
    // fewer than three records cannot be solved and is left as it is.
    void algorithmBasicDataConvert();

    quint8 seq = 0;
    TAG_IMEI_t tagImei = {};
    QList<ANCHOR_IMEI_t> anchorList;
    QList<unsigned long long> timeList; // entry i belongs to anchorList entry i
    QByteArray additionData;            // telemetry block of the first record
    QList<QByteArray> recordList;       // ascending anchor index
};

#endif // ALGORITHM_BASIC_DATA_H
