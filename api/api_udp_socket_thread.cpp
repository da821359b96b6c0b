#include "api/api_udp_socket_thread.h"

#include "api/api_json_writer.h"
#include "api/mqtt_publisher.h"
#include "common/build_variant.h"
#include "common/common_function.h"
#include "common/config_file.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

// How long the receive loop waits for a datagram before it looks at the stop
// flag again: the longest a stop request waits.
constexpr int kPollPeriodMs = 100;

const char kNetworkGroup[] = "network_setting";

} // namespace

ApiUdpSocketThread::ApiUdpSocketThread()
    : apiJson(ApiJson::fromConfig(ConfigFile())),
      requestNames{QStringLiteral("Nothing"),
                   QStringLiteral("SetAnchorsXYZ"),
                   QStringLiteral("GetAnchorsLists"),
                   QStringLiteral("SetPANID"),
                   QStringLiteral("GetPANID"),
                   QStringLiteral("GetCapabilities"),
                   QStringLiteral("InitPositioningClient"),
                   QStringLiteral("StartPositioning"),
                   QStringLiteral("ClosePositioningSession")}
{
    const ConfigFile config;
    const QString group = QLatin1String(kNetworkGroup);
    const QString locationIp = config.text(group, QStringLiteral("remote_udp_server_location_ip"));
    const QString configurationIp = config.text(group, QStringLiteral("remote_udp_server_parameters_configuration_ip"));
    locationAddress = QHostAddress(locationIp);
    configurationAddress = QHostAddress(configurationIp);
    if (!configurationIp.trimmed().isEmpty() && !senders.addHost(configurationIp))
        LogWriter::getLogCenter()->infoOutput("remote udp server configuration ip %s: no address, no request is "
                                              "taken from it", logPrintable(configurationIp).constData());
    if (configurationAddress.isNull()) {
        // A name: replies go to its first address.
        const QHostInfo found = QHostInfo::fromName(configurationIp.trimmed());
        if (!found.addresses().isEmpty())
            configurationAddress = found.addresses().constFirst();
    }
    locationPort = config.port(group, QStringLiteral("remote_udp_server_location_port"));
    const quint16 listenPort = config.port(group, QStringLiteral("local_udp_listen_parameters_configuration_port"));
    configurationPort = config.port(group, QStringLiteral("remote_udp_server_parameters_configuration_port"));

    LogWriter *log = LogWriter::getLogCenter();
    log->infoOutput("remote udp server location ip -> %s", locationIp.toUtf8().constData());
    log->infoOutput("remote location port -> %d", locationPort);
    log->infoOutput("remote udp server configuration ip -> %s", configurationIp.toUtf8().constData());
    log->infoOutput("local udp listen parameters configuration port -> %d", listenPort);
    log->infoOutput("remote parameters response configuration port -> %d", configurationPort);

    // An unquoted list reads as several values: joined again, so both forms work.
    const QVariant allowValue = ConfigFile().settings().value(group + QStringLiteral("/parameters_configuration_allow"));
    const QString allowText = allowValue.type() == QVariant::StringList
                                  ? allowValue.toStringList().join(QLatin1Char(','))
                                  : allowValue.toString();
    const QStringList refused = senders.addList(allowText);
    if (!refused.isEmpty())
        log->infoOutput("parameters_configuration_allow: \"%s\" refused, not an address nor a prefix; the rest applies",
                        logPrintable(refused.join(QStringLiteral("\", \""))).constData());
    log->infoOutput("configuration requests taken from -> %s",
                    senders.isEmpty() ? "nobody" : senders.describe().toUtf8().constData());

    // Absent: every interface, as before; one that does not parse binds
    // nothing rather than every interface.
    const QString listenIp = config.text(group, QStringLiteral("local_udp_listen_parameters_configuration_ip")).trimmed();
    const QHostAddress listenAddress = listenIp.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(listenIp);
    if (!listenIp.isEmpty())
        log->infoOutput("local udp listen parameters configuration ip -> %s%s", logPrintable(listenIp).constData(),
                        listenAddress.isNull() ? " is not an address: no request is received" : "");

    udpSocket = std::make_unique<QUdpSocket>();
    if (!listenAddress.isNull() && udpSocket->bind(listenAddress, listenPort)) {
        boundRequestPort = udpSocket->localPort();
        log->infoOutput("bind local udp listen port for api request SUCESS!");
    } else {
        log->infoOutput("bind local udp listen port for api request FAILED!");
        // Reports and heartbeats still leave, from a port of the system's
        // choice. Bound here, because an unbound socket would bind itself
        // inside the first send, in whatever thread that happens to run.
        udpSocket->bind(QHostAddress(QHostAddress::Any), 0);
    }
    // Fixed from here on: worked out once, not per batch of reports.
    locationToLength =
        apiSocketAddress(int(udpSocket->socketDescriptor()), locationAddress, locationPort, locationTo);
    // The socket's notifiers follow it into this thread, which runs no event
    // loop, so the main thread's event loop never touches the socket.
    udpSocket->moveToThread(this);
}

socklen_t ApiUdpSocketThread::apiSocketAddress(int fd, const QHostAddress &address, quint16 port,
                                               sockaddr_storage &to)
{
    sockaddr_storage own = {};
    socklen_t ownLength = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&own), &ownLength) != 0)
        return 0;
    to = sockaddr_storage();
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (own.ss_family == AF_INET && isIpv4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&to);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(ipv4);
        return sizeof *in;
    }
    if (own.ss_family != AF_INET6 || address.isNull())
        return 0;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&to);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    if (isIpv4) {
        in6->sin6_addr.s6_addr[10] = 0xff;
        in6->sin6_addr.s6_addr[11] = 0xff;
        const quint32 network = htonl(ipv4);
        std::memcpy(in6->sin6_addr.s6_addr + 12, &network, sizeof network);
        return sizeof *in6;
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&in6->sin6_addr, bytes.c, sizeof in6->sin6_addr);
    // A link-local address means nothing without its interface: the kernel
    // refuses it (EINVAL), as it does an interface that does not exist.
    const QString scope = address.scopeId();
    if (!scope.isEmpty()) {
        bool numeric = false;
        in6->sin6_scope_id = scope.toUInt(&numeric);
        if (!numeric)
            in6->sin6_scope_id = ::if_nametoindex(scope.toUtf8().constData());
        if (in6->sin6_scope_id == 0)
            return 0;
    }
    return sizeof *in6;
}

ApiUdpSocketThread::~ApiUdpSocketThread()
{
    // The socket lives in this thread: it may only go once run() has ended.
    apiUdpSocketThreadStop();
    wait();
}

void ApiUdpSocketThread::run()
{
    fifoClear();
    LogWriter::getLogCenter()->debugOutput("ApiUdpSocketThread running!");

    while (!stopRequested) {
        if (boundRequestPort == 0) {
            // Nothing can arrive; only the stop request is waited for.
            msleep(kPollPeriodMs);
            continue;
        }
        pollfd request = {};
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            request.fd = int(udpSocket->socketDescriptor());
        }
        request.events = POLLIN;
        // Waiting without the lock: reports go out while the loop is idle.
        if (::poll(&request, 1, kPollPeriodMs) > 0)
            readPendingDatagrams();
    }
    quit();
}

// Each datagram is read under the lock and handled without it, completely,
// before the next one is read.
void ApiUdpSocketThread::readPendingDatagrams()
{
    while (!stopRequested) {
        QByteArray datagram;
        QHostAddress sender; // only to recognise our own replies: never answered
        quint16 senderPort = 0;
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            if (!udpSocket->hasPendingDatagrams())
                return;
            const qint64 size = udpSocket->pendingDatagramSize();
            datagram.resize(int(qMax<qint64>(0, size)));
            if (udpSocket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort) < 0)
                return;
        }
        // Checked before anything of the datagram is read: only the site's
        // own hosts may change the configuration.
        if (!senderAllowed(sender))
            continue;
        // Replies go to the configuration endpoint, never to the sender; but
        // when that endpoint is this very port (a typo in config.ini), each
        // reply would arrive here as a new datagram and be answered for ever.
        if (fromOwnSocket(sender, senderPort)) {
            notAnswered(metrics::Counter::RequestsFromOwnSocket,
                        "a datagram of our own reply socket (is the configuration endpoint this port?)");
            continue;
        }
        const QByteArray reply = apiRequestReply(datagram);
        if (reply.isEmpty())
            continue;
        std::lock_guard<std::mutex> lock(socketMutex);
        // Not silently: a reply too large for a datagram (an anchor list
        // written by hand with long numbers) or an endpoint out of reach.
        if (!sendLocked(reply, configurationAddress, configurationPort) && replyFailureLines.allow())
            LogWriter::getLogCenter()->infoOutput("reply of %d bytes to the configuration endpoint not sent: %s",
                                                  int(reply.size()), udpSocket->errorString().toUtf8().constData());
    }
}

bool ApiUdpSocketThread::fromOwnSocket(const QHostAddress &sender, quint16 senderPort) const
{
    if (senderPort != boundRequestPort || boundRequestPort == 0)
        return false;
    if (sender.isLoopback())
        return true;
    // Our port number on one of our addresses is our socket. The addresses are
    // looked up each time (they come and go while the program runs), which is
    // only for a datagram from our own port number.
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&sender](const QHostAddress &address) {
        return address.isEqual(sender, QHostAddress::ConvertV4MappedToIPv4);
    });
}

// API thread only. A sender not allowed is counted, and named in a line at
// once, then at most once a minute with the count so far.
bool ApiUdpSocketThread::senderAllowed(const QHostAddress &sender)
{
    if (senders.allows(sender))
        return true;
    metrics::add(metrics::Counter::RequestsFromOtherSender);
    ++sendersIgnored;
    if (dropLineDue(sendersLineMs, metrics::steadyNowNs() / 1000000))
        LogWriter::getLogCenter()->infoOutput(
            "request port %d: datagrams of senders not allowed to configure ignored: %llu so far, the last from %s",
            boundRequestPort, static_cast<unsigned long long>(sendersIgnored),
            ApiRequestSenders::plain(sender).toString().toUtf8().constData());
    return false;
}

void ApiUdpSocketThread::setConfigWriteRate(int perSecond)
{
    writeRate = qMax(1, perSecond);
    writeTokens = writeRate;
    writeTokensNs = 0;
}

// API thread only: a token bucket of writeRate tokens, refilled at writeRate
// a second.
bool ApiUdpSocketThread::writeAllowed()
{
    const qint64 now = metrics::steadyNowNs();
    if (writeTokensNs != 0)
        writeTokens = qMin<double>(writeRate, writeTokens + double(now - writeTokensNs) * 1e-9 * writeRate);
    writeTokensNs = now;
    if (writeTokens >= 1.0) {
        writeTokens -= 1.0;
        return true;
    }
    metrics::add(metrics::Counter::ConfigWritesRateLimited);
    if (writeRateLines.allow())
        LogWriter::getLogCenter()->infoOutput("configuration write refused: more than %d a second", writeRate);
    if (const qint64 more = writeRateLines.takeSuppressed())
        LogWriter::getLogCenter()->infoOutput("%lld more configuration writes refused: more than %d a second", more,
                                              writeRate);
    return false;
}

// API thread only.
void ApiUdpSocketThread::notAnswered(metrics::Counter reason, const QByteArray &what)
{
    metrics::add(reason);
    LogWriter *log = LogWriter::getLogCenter();
    if (notAnsweredLines.allow())
        log->infoOutput("request port %d: %s is not answered", boundRequestPort, what.constData());
    if (const qint64 count = notAnsweredLines.takeSuppressed())
        log->infoOutput("request port %d: %lld more replies or datagrams of our own not answered", boundRequestPort,
                        count);
}

QByteArray ApiUdpSocketThread::apiRequestReply(const QByteArray &datagram)
{
    LogWriter *log = LogWriter::getLogCenter();
    if (log->isDebugEnabled()) // escaping costs, even with the channel off
        log->debugOutput("api udp get request: %s", logPrintable(datagram).constData());
    if (datagram.isEmpty()) {
        log->debugOutput("remote udp server CLOSED!");
        return QByteArray();
    }

    QJsonObject document;
    const int type = apiRequestType(datagram, &document);
    if (type == Nothing && apiIsReplyDocument(document)) {
        constexpr int kShownBytes = 100;
        notAnswered(metrics::Counter::RequestsReplyDocument,
                    "a reply document " + logPrintable(datagram.left(kShownBytes))
                        + (datagram.size() > kShownBytes ? "..." : ""));
        return QByteArray();
    }
    const int result = apiCarryOut(type, document);
    metrics::add(metrics::configRequestCounter(type, result > Nothing));
    if (result <= Nothing) {
        log->debugOutput("INVALID_PARAMETER 1010");
        QJsonObject invalid;
        invalid.insert(QStringLiteral("INVALID_PARAMETER"), 1010);
        return apiCompactJson(invalid);
    }

    QJsonObject reply;
    if (result == SetAnchorsXYZ || result == GetAnchorsLists)
        reply = apiGetAnchorsLists();
    else if (result == SetPANID || result == GetPANID)
        reply = apiGetPANID();
    if (reply.isEmpty())
        return QByteArray();
    // The reply builders put only texts that need no escape into a reply,
    // so removing the backslashes never breaks it.
    QByteArray text = apiCompactJson(reply);
    text.replace('\\', QByteArray());
    return text;
}

void ApiUdpSocketThread::send(const QByteArray &bytes, const QHostAddress &address, quint16 port)
{
    std::lock_guard<std::mutex> lock(socketMutex);
    sendLocked(bytes, address, port);
}

// With socketMutex held.
bool ApiUdpSocketThread::sendLocked(const QByteArray &bytes, const QHostAddress &address, quint16 port)
{
    // A socket that could not be bound at all would bind itself in this call,
    // from a thread it does not belong to.
    return udpSocket->state() == QAbstractSocket::BoundState && udpSocket->writeDatagram(bytes, address, port) >= 0;
}

// With socketMutex held. A report that cannot leave is lost (the next one
// of the tag follows within a transmission period), but never silently: the
// first failure is logged at once, then a count at most once a minute.
void ApiUdpSocketThread::reportsNotSent(int count, const QString &why)
{
    metrics::add(metrics::Counter::ReportsNotSent, quint64(count));
    LogWriter *log = LogWriter::getLogCenter();
    if (reportFailureLines.allow()) {
        --count;
        log->infoOutput("position report to %s port %d not sent: %s", locationAddress.toString().toUtf8().constData(),
                        locationPort, why.toUtf8().constData());
    }
    reportFailureLines.suppress(count);
    if (const qint64 more = reportFailureLines.takeSuppressed())
        log->infoOutput("%lld more position reports to %s port %d not sent, the last because: %s", more,
                        locationAddress.toString().toUtf8().constData(), locationPort, why.toUtf8().constData());
}

void ApiUdpSocketThread::apiSendHeartBeatSlot()
{
    QJsonObject heartBeat;
    heartBeat.insert(QStringLiteral("REPORT"), QStringLiteral("clientHeartBeat"));
    QString anchors;
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        for (const QByteArray &anchor : qAsConst(g_anchor_online_lists))
            anchors += QString::fromLatin1(anchor.toHex());
        g_anchor_online_lists.clear();
    }
    heartBeat.insert(QStringLiteral("ANCHOR"), anchors);
    send(apiCompactJson(heartBeat), configurationAddress, configurationPort);
}

// Runs in the algorithm thread, which holds g_timer_thread_mutex meanwhile:
// this slot must not take that mutex.
void ApiUdpSocketThread::apiSendTagMsgToRemoteSlot(TAG_IMEI_t tag_imei, double x, double y, double z,
                                                   QByteArray health_array)
{
    Q_UNUSED(z) // the report is two-dimensional
    sendPositionReport(tag_imei, x, y, std::nan(""), health_array);
}

void ApiUdpSocketThread::apiSendTagFixToRemoteSlot(TAG_IMEI_t tag_imei, double x, double y, double z,
                                                   double horizAccuracy, QByteArray health_array)
{
    Q_UNUSED(z)
    sendPositionReport(tag_imei, x, y, ApiJson::reportedAccuracy(horizAccuracy), health_array);
}

void ApiUdpSocketThread::sendPositionReport(const TAG_IMEI_t &tag_imei, double x, double y, double horizAccuracy,
                                            const QByteArray &health_array)
{
    QByteArray report;
    {
        std::lock_guard<std::mutex> lock(reportMutex);
        report = apiJson.positionReport(tag_imei, x, y, horizAccuracy, health_array);
    }
    if (batchReports) {
        std::lock_guard<std::mutex> lock(reportMutex);
        heldReports.append(report);
        if (heldReports.size() >= kHeldReports)
            sendHeldReports();
    } else {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (!sendLocked(report, locationAddress, locationPort))
            reportsNotSent(1, udpSocket->errorString());
        else
            metrics::add(metrics::Counter::ReportsSent);
    }
    if (reportPublisher)
        reportPublisher->mqttPublishReport(idText(tag_imei.imei, int(sizeof tag_imei.imei)), report);
}

void ApiUdpSocketThread::apiFlushReportsSlot()
{
    std::lock_guard<std::mutex> lock(reportMutex);
    if (!heldReports.isEmpty())
        sendHeldReports();
}

// With reportMutex held. One datagram per report, as send() makes it; a
// report the kernel refuses (a full send buffer) is dropped, as there.
void ApiUdpSocketThread::sendHeldReports()
{
    std::lock_guard<std::mutex> lock(socketMutex);
    const int fd = int(udpSocket->socketDescriptor());
    mmsghdr messages[kHeldReports];
    iovec buffers[kHeldReports];
    const int count = qMin(int(heldReports.size()), kHeldReports);
    if (locationToLength == 0) {
        reportsNotSent(count, QStringLiteral("no address this socket can send to"));
        heldReports.clear();
        return;
    }
    for (int i = 0; i < count; ++i) {
        buffers[i].iov_base = const_cast<char *>(heldReports.at(i).constData());
        buffers[i].iov_len = size_t(heldReports.at(i).size());
        messages[i] = mmsghdr();
        messages[i].msg_hdr.msg_name = &locationTo;
        messages[i].msg_hdr.msg_namelen = locationToLength;
        messages[i].msg_hdr.msg_iov = &buffers[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (int at = 0; at < count;) {
        const int sent = ::sendmmsg(fd, messages + at, unsigned(count - at), MSG_DONTWAIT);
        if (sent <= 0)
            reportsNotSent(1, QString::fromLocal8Bit(std::strerror(errno)));
        at += sent > 0 ? sent : 1; // past a refused report
        if (sent > 0)
            metrics::add(metrics::Counter::ReportsSent, quint64(sent));
    }
    heldReports.clear();
}
