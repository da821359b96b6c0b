#include "tools/replay/capture_reader.h"

#include <pcap/pcap.h>

#include <QFile>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr quint16 kEtherIpv4 = 0x0800;
constexpr quint16 kEtherIpv6 = 0x86dd;
constexpr quint16 kEtherVlan = 0x8100;
constexpr quint16 kEtherQinQ = 0x88a8;
constexpr quint8 kProtoUdp = 17;
constexpr int kUdpHeader = 8;
// DLT_NULL carries the sender's AF_INET6, which differs between systems.
constexpr quint32 kBsdInet = 2;
constexpr quint32 kBsdInet6[] = {10, 24, 28, 30};

quint16 be16(const quint8 *p) { return quint16(p[0] << 8 | p[1]); }
quint32 be32(const quint8 *p) { return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]; }
quint32 le32(const quint8 *p) { return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0]; }

using Skip = CaptureReader::Skip;

// What the frame's bytes allow: the headers up to `need` are there or, when
// the frame was cut by the snap length, it counts as truncated; a frame whole
// on the wire that is too short is not ours.
Skip shortFrame(int captured, int wire) { return captured < wire ? Skip::Truncated : Skip::OtherTraffic; }

Skip udpDatagram(const quint8 *udp, int available, int captured, int wire, quint16 port, CaptureReader::Datagram *out)
{
    if (available < kUdpHeader)
        return shortFrame(captured, wire);
    if (be16(udp + 2) != port)
        return Skip::OtherTraffic;
    const int length = be16(udp + 4);
    if (length < kUdpHeader)
        return Skip::OtherTraffic;
    if (length > available)
        return shortFrame(captured, wire);
    out->data = reinterpret_cast<const char *>(udp + kUdpHeader);
    out->size = length - kUdpHeader;
    return Skip::None;
}

Skip ipPacket(const quint8 *ip, int available, int captured, int wire, quint16 port, CaptureReader::Datagram *out)
{
    if (available < 1)
        return shortFrame(captured, wire);
    const int version = ip[0] >> 4;
    if (version == 4) {
        const int header = (ip[0] & 0x0f) * 4;
        if (header < 20)
            return Skip::OtherTraffic;
        if (available < header)
            return shortFrame(captured, wire);
        const int total = be16(ip + 2);
        const bool moreFragments = ip[6] & 0x20;
        const int offset = be16(ip + 6) & 0x1fff;
        if (ip[9] != kProtoUdp)
            return Skip::OtherTraffic;
        if (moreFragments || offset != 0)
            return Skip::Fragment;
        // Ethernet pads short frames: the IP length bounds the datagram.
        const int within = total >= header ? qMin(available, total) : available;
        if (total > available)
            return shortFrame(captured, wire);
        return udpDatagram(ip + header, within - header, captured, wire, port, out);
    }
    if (version == 6) {
        constexpr int kFixed = 40;
        if (available < kFixed)
            return shortFrame(captured, wire);
        const int payload = be16(ip + 4);
        if (kFixed + payload > available)
            return shortFrame(captured, wire);
        int next = ip[6];
        int at = kFixed;
        const int end = kFixed + payload;
        // Extension headers before the UDP header.
        for (;;) {
            if (next == kProtoUdp)
                return udpDatagram(ip + at, end - at, captured, wire, port, out);
            if (next == 44)
                return Skip::Fragment;
            if (next != 0 && next != 43 && next != 60)
                return Skip::OtherTraffic;
            if (end - at < 8)
                return Skip::OtherTraffic;
            const int length = (ip[at + 1] + 1) * 8;
            next = ip[at];
            at += length;
            if (at > end)
                return Skip::OtherTraffic;
        }
    }
    return Skip::OtherTraffic;
}

// An Ethernet type with any VLAN tags before it.
Skip etherPayload(quint16 type, const quint8 *p, int available, int captured, int wire, quint16 port,
                  CaptureReader::Datagram *out)
{
    while (type == kEtherVlan || type == kEtherQinQ) {
        if (available < 4)
            return shortFrame(captured, wire);
        type = be16(p + 2);
        p += 4;
        available -= 4;
    }
    if (type != kEtherIpv4 && type != kEtherIpv6)
        return Skip::OtherTraffic;
    return ipPacket(p, available, captured, wire, port, out);
}

} // namespace

CaptureReader::~CaptureReader()
{
    if (handle)
        pcap_close(handle);
}

bool CaptureReader::linkTypeKnown(int type)
{
    switch (type) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

QString CaptureReader::linkTypeName() const
{
    const char *name = pcap_datalink_val_to_name(link);
    return name ? QString::fromLatin1(name) : QString::number(link);
}

bool CaptureReader::open(const QString &path, quint16 anchorPort, QString *error)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    handle = pcap_open_offline_with_tstamp_precision(QFile::encodeName(path).constData(), PCAP_TSTAMP_PRECISION_NANO,
                                                     message);
    if (!handle) {
        *error = QStringLiteral("%1 is not a readable pcap or pcapng capture: %2").arg(path, QString::fromLocal8Bit(message));
        return false;
    }
    link = pcap_datalink(handle);
    snap = pcap_snapshot(handle);
    port = anchorPort;
    if (!linkTypeKnown(link)) {
        const char *name = pcap_datalink_val_to_name(link);
        *error = QStringLiteral("%1: link type %2 (%3) is not one this tool reads (Ethernet, Linux cooked, raw IP, "
                                "loopback)")
                     .arg(path)
                     .arg(link)
                     .arg(QString::fromLatin1(name ? name : "unknown"));
        return false;
    }
    return true;
}

CaptureReader::Skip CaptureReader::parseFrame(int type, const quint8 *f, int captured, int wire, quint16 port,
                                              Datagram *out)
{
    switch (type) {
    case DLT_EN10MB:
        if (captured < 14)
            return shortFrame(captured, wire);
        return etherPayload(be16(f + 12), f + 14, captured - 14, captured, wire, port, out);
    case DLT_LINUX_SLL:
        if (captured < 16)
            return shortFrame(captured, wire);
        return etherPayload(be16(f + 14), f + 16, captured - 16, captured, wire, port, out);
    case DLT_LINUX_SLL2:
        if (captured < 20)
            return shortFrame(captured, wire);
        return etherPayload(be16(f), f + 20, captured - 20, captured, wire, port, out);
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        return ipPacket(f, captured, captured, wire, port, out);
    case DLT_NULL:
    case DLT_LOOP: {
        if (captured < 4)
            return shortFrame(captured, wire);
        // DLT_LOOP is in network order, DLT_NULL in the capturing host's.
        const quint32 family = type == DLT_LOOP ? be32(f) : (le32(f) < 256 ? le32(f) : be32(f));
        const bool inet6 = std::find(std::begin(kBsdInet6), std::end(kBsdInet6), family) != std::end(kBsdInet6);
        if (family != kBsdInet && !inet6)
            return Skip::OtherTraffic;
        return ipPacket(f + 4, captured - 4, captured, wire, port, out);
    }
    default:
        return Skip::OtherTraffic;
    }
}

bool CaptureReader::next(Datagram *out, QString *error)
{
    for (;;) {
        pcap_pkthdr *header = nullptr;
        const u_char *frame = nullptr;
        const int rc = pcap_next_ex(handle, &header, &frame);
        if (rc == PCAP_ERROR_BREAK)
            return false;
        if (rc != 1) {
            const QString why = QString::fromLocal8Bit(pcap_geterr(handle));
            // libpcap says "truncated dump file" (pcap) or "truncated pcapng
            // dump file" when the file ends inside a packet.
            if (why.contains(QLatin1String("truncated"))) {
                cutEnd = true;
                ++skips[int(Skip::Truncated)];
            } else {
                *error = QStringLiteral("read error after %1 frames: %2").arg(frameCount).arg(why);
            }
            return false;
        }
        ++frameCount;
        Datagram d;
        d.timeNs = qint64(header->ts.tv_sec) * 1000000000 + qint64(header->ts.tv_usec);
        const Skip skip = parseFrame(link, frame, int(header->caplen), int(header->len), port, &d);
        if (skip != Skip::None) {
            ++skips[int(skip)];
            continue;
        }
        ++datagramCount;
        *out = d;
        return true;
    }
}
