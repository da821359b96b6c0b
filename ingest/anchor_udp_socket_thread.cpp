#include "ingest/anchor_udp_socket_thread.h"

#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"

#include <QHostInfo>
#include <QUdpSocket>

#include <sys/socket.h>

#include <chrono>

namespace {

// Larger than any UDP payload, so no datagram is ever cut.
constexpr int kMaxDatagramBytes = 65536;

QHostAddress &bindAddress()
{
    static QHostAddress address(QHostAddress::Any);
    return address;
}

QString localIpv4()
{
    const QHostInfo info = QHostInfo::fromName(QHostInfo::localHostName());
    for (const QHostAddress &address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address.toString();
    }
    return QString();
}

} // namespace

AnchorUdpSocketThread::AnchorUdpSocketThread()
    : QThread(nullptr), socket(new QUdpSocket(this)),
      receiveArea(kBatchDatagrams * kMaxDatagramBytes, Qt::Uninitialized)
{
    LogWriter *log = LogWriter::getLogCenter();
    const ConfigFile config;
    const QString ip = localIpv4();
    const quint16 port = config.port(QStringLiteral("network_setting"), QStringLiteral("local_udp_listen_anchor_port"));
    log->infoOutput("local ip -> %s", ip.toUtf8().constData());
    log->infoOutput("local udp listen anchor port -> %d", port);
    const int fifoAsked = config.integer(QStringLiteral("network_setting"), QStringLiteral("anchor_fifo_limit"));
    fifoSetLimit(fifoAsked);
    if (fifoAsked > kFifoMaximumLimit)
        log->infoOutput("anchor_fifo_limit %d is above the maximum of %d records: the maximum is used", fifoAsked,
                        kFifoMaximumLimit);
    log->infoOutput("anchor fifo limit -> %d records", fifoLimit());

    // Bursts of all anchors arrive between two turns of the main event loop.
    // The option is applied to the bound socket; before the bind there is no
    // native socket to apply it to.
    const bool bound = socket->bind(bindAddress(), port);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
    if (bound)
        log->infoOutput("bind local udp listen port for anchors SUCESS!");
    else
        log->infoOutput("bind local udp listen port for anchors FAILED!");
    // Linux reports twice what it grants (the rest is its bookkeeping), capped
    // by net.core.rmem_max.
    log->infoOutput("anchor socket receive buffer -> %d bytes (asked for %d)",
                    socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt(), kReceiveBufferBytes);

    connect(socket, SIGNAL(readyRead()), this, SLOT(anchorUdpSocketSlot()));
}

void AnchorUdpSocketThread::anchorUdpSocketThreadStop()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopRequested = true;
        wakeRequested = true;
    }
    wake.notify_all();
}

quint16 AnchorUdpSocketThread::localPort() const { return socket->localPort(); }

void AnchorUdpSocketThread::setBindAddressForTesting(const QHostAddress &address)
{
    bindAddress() = address.isNull() ? QHostAddress(QHostAddress::Any) : address;
}

void AnchorUdpSocketThread::run()
{
    fifoClear();
    {
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_for(lock, std::chrono::milliseconds(kStartupPauseMs), [this] { return wakeRequested; });
    }
    LogWriter::getLogCenter()->debugOutput("AnchorUdpSocketThread running!");
    // stopRequested is set from construction on, so the thread ends here: the
    // datagrams are read by the slot, in the main thread.
}

void AnchorUdpSocketThread::anchorUdpSocketSlot()
{
    // The first datagram is read through Qt: that read re-arms Qt's read
    // notifier, which would stay switched off after a notification whose
    // datagrams were all read behind Qt's back.
    char *area = receiveArea.data();
    const qint64 first = socket->readDatagram(area, kMaxDatagramBytes);
    if (first < 0)
        return;
    batch.add(area, int(first));

    // The rest with one system call per batch, and only a bounded amount per
    // notification: a flood then cannot keep the event loop from its timers,
    // queued heartbeats and SIGTERM. Datagrams left over keep the descriptor
    // readable, so the still armed notifier brings this slot back at the next
    // turn of the loop; nothing is queued that could be lost or stall.
    const int fd = int(socket->socketDescriptor());
    mmsghdr messages[kBatchDatagrams];
    iovec buffers[kBatchDatagrams];
    int from = 1; // slot 0 holds the datagram read above
    qint64 bytes = first;
    for (int round = 0; round < kBatchesPerNotification; ++round) {
        const int wanted = kBatchDatagrams - from;
        for (int i = 0; i < wanted; ++i) {
            buffers[i].iov_base = area + qint64(from + i) * kMaxDatagramBytes;
            buffers[i].iov_len = kMaxDatagramBytes;
            messages[i] = mmsghdr();
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(fd, messages, unsigned(wanted), MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            batch.add(static_cast<const char *>(buffers[i].iov_base), int(messages[i].msg_len));
            bytes += messages[i].msg_len;
        }
        batch.flush();
        // Fewer than asked: the socket is drained (or failed; the next
        // notification tries again).
        if (got < wanted || bytes >= kBytesPerNotification)
            return;
        from = 0;
    }
}
