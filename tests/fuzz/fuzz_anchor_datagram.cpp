// Any datagram, handled as the receiver handles one read from its socket: nothing may crash or read outside the
// datagram, and what reaches the FIFO is exactly the datagram's whole records.
#include "common/global_data.h"
#include "common/logwriter.h"
#include "ingest/anchor_record.h"
#include "ingest/anchor_datagram_batch.h"

#include <QQueue>

#include <cstdlib>

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet);
    // No lost-packet file: at the fuzzer's rate it would grow by megabytes a second.
    LogWriter::getLogCenter()->setLogPath(QStringLiteral("/dev/null"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(data), int(size));
    static AnchorDatagramBatch batch;
    batch.add(datagram.constData(), datagram.size());
    batch.flush();

    QQueue<QByteArray> items;
    {
        std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
        items.swap(g_udp_receive_fifo);
    }
    const int n = datagram.size();
    const int expected = (n >= record::kSize && n % record::kSize == 0) ? n / record::kSize : 0;
    if (items.size() != expected)
        std::abort();
    for (int i = 0; i < items.size(); ++i)
        if (items.at(i) != datagram.mid(i * record::kSize, record::kSize))
            std::abort();
    return 0;
}
