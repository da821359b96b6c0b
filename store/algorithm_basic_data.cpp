#include "store/algorithm_basic_data.h"

#include "ingest/anchor_record.h"

#include <cstring>

namespace {
// Two time differences are the least the solver can work with.
constexpr int kMinRecords = 3;
} // namespace

void AlgorithmBasicData::algorithmBasicDataConvert()
{
    if (recordList.size() < kMinRecords)
        return;
    anchorList.reserve(recordList.size());
    timeList.reserve(recordList.size());
    for (const QByteArray &r : qAsConst(recordList)) {
        ANCHOR_IMEI_t anchor;
        std::memcpy(anchor.imei, record::anchorIdBytes(r), sizeof anchor.imei);
        anchorList.append(anchor);
        timeList.append(record::receptionTime(r));
    }
    additionData = record::telemetry(recordList.first());
}
