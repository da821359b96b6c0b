#include "tools/sim/pcapng_writer.h"

namespace {

constexpr quint32 kSectionHeader = 0x0A0D0D0A;
constexpr quint32 kInterfaceDescription = 1;
constexpr quint32 kEnhancedPacket = 6;
constexpr quint16 kLinkTypeEthernet = 1;
constexpr quint32 kSnapLength = 262144;
constexpr int kEthernetHeader = 14;
constexpr int kIpv4Header = 20;
constexpr int kUdpHeader = 8;
// Written to the file once this much has gathered: a few large writes
// rather than one per packet.
constexpr int kWriteChunk = 1 << 20;

// pcapng is written in the writer's byte order (the section header's magic
// tells readers which); packet headers are in network order.
template <typename T> void host(QByteArray &b, T v)
{
    b.append(reinterpret_cast<const char *>(&v), sizeof v);
}

void network16(QByteArray &b, quint16 v)
{
    b.append(char(v >> 8));
    b.append(char(v & 0xff));
}

void network32(QByteArray &b, quint32 v)
{
    network16(b, quint16(v >> 16));
    network16(b, quint16(v & 0xffff));
}

void pad4(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

// An option: code, length, value padded to 32 bits.
void option(QByteArray &b, quint16 code, const QByteArray &value)
{
    host(b, code);
    host(b, quint16(value.size()));
    b.append(value);
    pad4(b);
}

// A block: type, total length, body, total length again.
QByteArray block(quint32 type, QByteArray body)
{
    pad4(body);
    const quint32 length = quint32(body.size()) + 12;
    QByteArray b;
    b.reserve(int(length));
    host(b, type);
    host(b, length);
    b.append(body);
    host(b, length);
    return b;
}

// Sum of 16-bit big-endian words, for the Internet checksum.
quint32 wordSum(const char *data, int size, quint32 sum = 0)
{
    const auto *p = reinterpret_cast<const quint8 *>(data);
    for (int i = 0; i + 1 < size; i += 2)
        sum += quint32(p[i]) << 8 | p[i + 1];
    if (size % 2)
        sum += quint32(p[size - 1]) << 8;
    return sum;
}

quint16 fold(quint32 sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

void putNetwork16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v >> 8);
    b[at + 1] = char(v & 0xff);
}

QByteArray frame(const QByteArray &payload, quint32 source, quint16 sourcePort, quint32 destination,
                 quint16 destinationPort, quint16 identification)
{
    QByteArray f;
    f.reserve(kEthernetHeader + kIpv4Header + kUdpHeader + payload.size());
    f.append(12, '\0'); // destination and source MAC: zero, as on loopback
    network16(f, 0x0800);
    const int ip = f.size();
    network16(f, 0x4500); // version 4, 20-byte header
    network16(f, quint16(kIpv4Header + kUdpHeader + payload.size()));
    network16(f, identification);
    network16(f, 0x4000); // don't fragment
    network16(f, 0x4011); // TTL 64, UDP
    network16(f, 0);      // header checksum, below
    network32(f, source);
    network32(f, destination);
    putNetwork16(f, ip + 10, fold(wordSum(f.constData() + ip, kIpv4Header)));
    const int udp = f.size();
    const quint16 udpLength = quint16(kUdpHeader + payload.size());
    network16(f, sourcePort);
    network16(f, destinationPort);
    network16(f, udpLength);
    network16(f, 0); // checksum, below
    f.append(payload);
    // Pseudo-header: addresses, protocol, UDP length.
    quint32 sum = wordSum(f.constData() + ip + 12, 8);
    sum += 17 + udpLength;
    quint16 checksum = fold(wordSum(f.constData() + udp, udpLength, sum));
    if (checksum == 0)
        checksum = 0xffff; // zero would mean "no checksum"
    putNetwork16(f, udp + 6, checksum);
    return f;
}

} // namespace

bool PcapngWriter::open(const QString &path, quint32 to, quint16 toPort, const QString &application,
                        QString *error)
{
    destination = to;
    port = toPort;
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray section;
    host(section, quint32(0x1A2B3C4D)); // byte-order magic
    host(section, quint16(1));          // version 1.0
    host(section, quint16(0));
    host(section, qint64(-1)); // section length not given
    option(section, 4, application.toUtf8()); // shb_userappl
    option(section, 0, {});
    QByteArray interface;
    host(interface, kLinkTypeEthernet);
    host(interface, quint16(0));
    host(interface, kSnapLength);
    option(interface, 2, QByteArrayLiteral("lo")); // if_name
    option(interface, 9, QByteArray(1, char(9)));  // if_tsresol: nanoseconds
    option(interface, 0, {});
    buffer = block(kSectionHeader, section) + block(kInterfaceDescription, interface);
    if (!writeBuffered(true)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int PcapngWriter::flush(qint64 nanoseconds, bool *ok)
{
    int refused = 0;
    const auto stamp = quint64(nanoseconds);
    for (const QByteArray &datagram : qAsConst(pending)) {
        if (datagram.size() > kLargestPayload) {
            ++refused;
            continue;
        }
        const QByteArray packet = frame(datagram, kAnchorAddress, kAnchorPort, destination, port, identification++);
        QByteArray body;
        body.reserve(20 + packet.size() + 3);
        host(body, quint32(0)); // interface 0
        host(body, quint32(stamp >> 32));
        host(body, quint32(stamp & 0xffffffff));
        host(body, quint32(packet.size())); // captured
        host(body, quint32(packet.size())); // on the wire
        body.append(packet);
        buffer.append(block(kEnhancedPacket, body));
    }
    pending.clear();
    *ok = writeBuffered(false);
    return refused;
}

bool PcapngWriter::writeBuffered(bool force)
{
    if (buffer.isEmpty() || (!force && buffer.size() < kWriteChunk))
        return true;
    const bool written = file.write(buffer) == buffer.size();
    buffer.clear();
    return written;
}

bool PcapngWriter::close()
{
    const bool written = writeBuffered(true) && file.flush();
    file.close();
    return written;
}
