#include "ingest/anchor_udp_socket_thread.h"

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "ingest/anchor_record.h"

#include <QHostInfo>
#include <QUdpSocket>
#include <QVector>

#include <chrono>

namespace {

constexpr char kFrameMark = 'D';
constexpr char kMeasurementType = 'W';
constexpr char kHeartbeatType = 'H';
constexpr int kHeartbeatSize = 10;
constexpr int kHeartbeatIdOffset = 2;
// Below this a datagram cannot even hold a frame mark, a type and one byte.
constexpr int kLeastUsefulSize = 3;

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

AnchorUdpSocketThread::AnchorUdpSocketThread() : QThread(nullptr), socket(new QUdpSocket(this))
{
    LogWriter *log = LogWriter::getLogCenter();
    const ConfigFile config;
    const QString ip = localIpv4();
    const quint16 port = config.port(QStringLiteral("network_setting"), QStringLiteral("local_udp_listen_anchor_port"));
    log->infoOutput("local ip -> %s", ip.toUtf8().constData());
    log->infoOutput("local udp listen anchor port -> %d", port);

    // Bursts of all anchors arrive between two turns of the main event loop.
    // The option is applied to the bound socket; before the bind there is no
    // native socket to apply it to.
    const bool bound = socket->bind(bindAddress(), port);
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
    if (bound)
        log->infoOutput("bind local udp listen port for anchors SUCESS!");
    else
        log->infoOutput("bind local udp listen port for anchors FAILED!");

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
    // Qt announces a datagram again only after one has been read, so every one
    // pending now is read now; none may wait for the next arrival. No cap with
    // a queued continuation: under a sustained 150,000 datagrams/s that left
    // Qt's read notifier switched off with datagrams pending, and reading
    // stopped for good. One read costs about 2 us, so a loopback sender on
    // this kind of machine cannot keep the loop from returning for long.
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
        const qint64 got = socket->readDatagram(datagram.data(), datagram.size());
        if (got < 0)
            return;
        if (got < datagram.size())
            datagram.truncate(int(got));
        anchorUdpSocketHandleDatagram(datagram);
    }
}

AnchorUdpSocketThread::DatagramKind AnchorUdpSocketThread::anchorDatagramKind(const QByteArray &d)
{
    const int n = d.size();
    // The frame mark and type sit at the start of the first record, CR LF at
    // the end of the last one. Four bytes at least, or they would overlap.
    if (n >= 4 && d.at(0) == kFrameMark && d.at(1) == kMeasurementType && d.at(n - 2) == '\r' && d.at(n - 1) == '\n')
        return DatagramKind::MeasurementData;
    if (n == kHeartbeatSize && d.at(0) == kFrameMark && d.at(1) == kHeartbeatType)
        return DatagramKind::AnchorHeartbeat;
    return DatagramKind::Malformed;
}

void AnchorUdpSocketThread::anchorUdpSocketHandleDatagram(const QByteArray &datagram)
{
    LogWriter *log = LogWriter::getLogCenter();
    const int n = datagram.size();
    if (n < kLeastUsefulSize)
        log->debugOutput("data_size_not_enough");

    switch (anchorDatagramKind(datagram)) {
    case DatagramKind::MeasurementData:
        break;
    case DatagramKind::AnchorHeartbeat: {
        const auto *id = reinterpret_cast<const quint8 *>(datagram.constData()) + kHeartbeatIdOffset;
        log->infoOutput("anchor heart beat mac -> %s", idText(id, record::kIdSize).toUtf8().constData());
        break;
    }
    case DatagramKind::Malformed: {
        const QByteArray hex = datagram.toHex();
        log->infoOutput("[AnchorUdpSocketThread info]:Error Anchor UDP frame data!");
        log->debugOutput("error msg -> %s", hex.constData());
        log->writeForMatlabLogLostPacket("%s", hex.constData());
        break;
    }
    }

    // Queued by size alone: a malformed datagram of whole records still goes on.
    constexpr int R = record::kSize;
    if (n == R) {
        fifoAppend(&datagram, 1);
    } else if (n > R && n % R == 0) {
        QVector<QByteArray> records;
        records.reserve(n / R);
        for (int at = 0; at < n; at += R)
            records.append(datagram.mid(at, R));
        fifoAppend(records.constData(), records.size());
    } else if (n > R) {
        log->debugOutput("udp socket thread!! not %d*N Bytes!!!!", R);
    }
}
