#include "ingest/anchor_udp_socket_thread.h"

#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "common/tsan_handoff.h"

#include <QHostInfo>
#include <QUdpSocket>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
    : QThread(nullptr), stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
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

    // Bound through Qt, which opens the dual-stack "any" address as the rest
    // of the program does, then read natively by the thread: a descriptor of
    // our own, so no notifier of the main thread's event loop watches it.
    // The option is applied to the bound socket; before the bind there is no
    // native socket to apply it to.
    // network_setting/local_udp_listen_anchor_ip keeps the port on one
    // interface (absent: every one); one that does not parse binds nothing
    // rather than every interface.
    const QString listenIp =
        config.text(QStringLiteral("network_setting"), QStringLiteral("local_udp_listen_anchor_ip")).trimmed();
    const QHostAddress address = listenIp.isEmpty() ? bindAddress() : QHostAddress(listenIp);
    if (!listenIp.isEmpty())
        log->infoOutput("local udp listen anchor ip -> %s%s", logPrintable(listenIp).constData(),
                        address.isNull() ? " is not an address: no anchor datagram is received" : "");
    QUdpSocket socket;
    const bool bound = !address.isNull() && socket.bind(address, port);
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
    if (bound)
        log->infoOutput("bind local udp listen port for anchors SUCESS!");
    else
        log->infoOutput("bind local udp listen port for anchors FAILED!");
    // Linux reports twice what it grants (the rest is its bookkeeping), capped
    // by net.core.rmem_max.
    log->infoOutput("anchor socket receive buffer -> %d bytes (asked for %d)",
                    socket.socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt(), kReceiveBufferBytes);
    if (bound) {
        socketFd = ::fcntl(int(socket.socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        boundPort = socket.localPort();
    }
}

AnchorUdpSocketThread::~AnchorUdpSocketThread()
{
    anchorUdpSocketThreadStop();
    wait();
    tsan::takeOver(this);
    if (socketFd >= 0)
        ::close(socketFd);
    if (stopFd >= 0)
        ::close(stopFd);
}

void AnchorUdpSocketThread::anchorUdpSocketThreadStop()
{
    stopRequested = true;
    const quint64 one = 1;
    if (stopFd >= 0 && ::write(stopFd, &one, sizeof one) < 0) {
        // Only a full counter fails, and then a wake-up is pending anyway.
    }
}

void AnchorUdpSocketThread::setBindAddressForTesting(const QHostAddress &address)
{
    bindAddress() = address.isNull() ? QHostAddress(QHostAddress::Any) : address;
}

void AnchorUdpSocketThread::run()
{
    fifoClear();
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("AnchorUdpSocketThread running!");
    pollfd watched[2] = {{stopFd, POLLIN, 0}, {socketFd, POLLIN, 0}};
    const nfds_t count = socketFd >= 0 ? 2 : 1; // after a failed bind only the stop
    // Waiting: blocked in poll until a datagram or a stop arrives. Reading:
    // taking everything queued and handing it over, then sleeping one gather
    // window; as long as a read finds datagrams the next follows the window
    // without a poll, so steady traffic costs one wake-up per window.
    bool reading = false;
    while (!stopRequested) {
        if (!reading) {
            if (::poll(watched, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                log->infoOutput("anchor socket wait failed: %s", std::strerror(errno));
                break;
            }
            if (stopRequested || count < 2 || !(watched[1].revents & (POLLIN | POLLERR)))
                continue;
        }
        const Read read = readAvailable();
        batch.flush();
        reading = read != Read::Nothing;
        // Still behind after a full hand-off: read on without waiting.
        if (reading && read != Read::Behind)
            std::this_thread::sleep_for(std::chrono::microseconds(kGatherWindowUs));
    }
    tsan::handOff(this);
}

// Reads what the socket holds, up to one hand-off, into the batch.
AnchorUdpSocketThread::Read AnchorUdpSocketThread::readAvailable()
{
    char *area = receiveArea.data();
    mmsghdr messages[kBatchDatagrams];
    iovec buffers[kBatchDatagrams];
    for (int i = 0; i < kBatchDatagrams; ++i) {
        buffers[i].iov_base = area + qint64(i) * kMaxDatagramBytes;
        buffers[i].iov_len = kMaxDatagramBytes;
        messages[i] = mmsghdr();
        messages[i].msg_hdr.msg_iov = &buffers[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    qint64 bytes = 0;
    Read result = Read::Nothing;
    for (int round = 0; round < kBatchesPerHandOff; ++round) {
        const int got = ::recvmmsg(socketFd, messages, kBatchDatagrams, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i) {
            batch.add(static_cast<const char *>(buffers[i].iov_base), int(messages[i].msg_len));
            bytes += messages[i].msg_len;
        }
        if (got > 0)
            result = Read::Some;
        // Fewer than asked: the socket is drained (or failed; poll tells again).
        if (got < kBatchDatagrams)
            return result;
        if (bytes >= kBytesPerHandOff)
            return Read::Behind;
    }
    return Read::Behind;
}
