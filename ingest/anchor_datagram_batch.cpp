#include "ingest/anchor_datagram_batch.h"

#include "common/common_function.h"
#include "common/global_data.h"
#include "common/metrics.h"
#include "ingest/anchor_record.h"

namespace {

constexpr char kFrameMark = 'D';
constexpr char kMeasurementType = 'W';
constexpr char kHeartbeatType = 'H';
constexpr int kHeartbeatSize = 10;
constexpr int kHeartbeatIdOffset = 2;
// Below this a datagram cannot even hold a frame mark, a type and one byte.
constexpr int kLeastUsefulSize = 3;

} // namespace

AnchorDatagramBatch::Kind AnchorDatagramBatch::kind(const char *d, int n)
{
    // The frame mark and type sit at the start of the first record, CR LF at
    // the end of the last one. Four bytes at least, or they would overlap.
    if (n >= 4 && d[0] == kFrameMark && d[1] == kMeasurementType && d[n - 2] == '\r' && d[n - 1] == '\n')
        return Kind::MeasurementData;
    if (n == kHeartbeatSize && d[0] == kFrameMark && d[1] == kHeartbeatType)
        return Kind::AnchorHeartbeat;
    return Kind::Malformed;
}

void AnchorDatagramBatch::add(const char *data, int n)
{
    constexpr int R = record::kSize;
    LogWriter *log = LogWriter::getLogCenter();
    const Kind k = kind(data, n);
    const bool notWhole = n > R && n % R != 0;
    const bool bad = n < kLeastUsefulSize || k == Kind::Malformed || notWhole;
    if (bad)
        metrics::add(metrics::Counter::DatagramsMalformed);
    // One allowance per bad datagram covers all of its lines.
    const bool logBad = bad && badLines.allow();

    if (n < kLeastUsefulSize && logBad)
        log->debugOutput("data_size_not_enough");
    if (k == Kind::AnchorHeartbeat && heartbeatLines.allow()) {
        const auto *id = reinterpret_cast<const quint8 *>(data) + kHeartbeatIdOffset;
        log->infoOutput("anchor heart beat mac -> %s", idText(id, record::kIdSize).toUtf8().constData());
    } else if (k == Kind::Malformed && logBad) {
        const QByteArray hex = QByteArray::fromRawData(data, n).toHex();
        log->infoOutput("[AnchorUdpSocketThread info]:Error Anchor UDP frame data!");
        log->debugOutput("error msg -> %s", hex.constData());
        log->writeForMatlabLogLostPacket("%s", hex.constData());
    }

    // Queued by size alone: a malformed datagram of whole records still goes on.
    if (n >= R && n % R == 0) {
        for (int at = 0; at < n; at += R)
            records.append(QByteArray(data + at, R));
    } else if (notWhole && logBad) {
        log->debugOutput("udp socket thread!! not %d*N Bytes!!!!", R);
    }
}

void AnchorDatagramBatch::flush()
{
    if (!records.isEmpty()) {
        droppedLines.suppress(fifoAppend(records.constData(), records.size()));
        records.clear();
    }
    LogWriter *log = LogWriter::getLogCenter();
    if (const qint64 dropped = droppedLines.takeSuppressed())
        log->infoOutput("anchor FIFO over its limit of %d records: dropped the %lld oldest", fifoLimit(), dropped);
    if (const qint64 bad = badLines.takeSuppressed()) {
        log->infoOutput("[AnchorUdpSocketThread info]:%lld bad anchor datagrams not logged", bad);
        log->writeForMatlabLogLostPacket("%lld bad anchor datagrams not logged", bad);
    }
    if (const qint64 beats = heartbeatLines.takeSuppressed())
        log->infoOutput("%lld anchor heart beats not logged", beats);
}
