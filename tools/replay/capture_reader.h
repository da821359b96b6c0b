#ifndef CAPTURE_READER_H
#define CAPTURE_READER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

typedef struct pcap pcap_t;

// The UDP datagrams to one port of a pcap or pcapng file, read through
// libpcap, with their capture times. Link types: Ethernet (VLAN tags too),
// Linux cooked capture v1 and v2 (tcpdump -i any), raw IP and BSD loopback;
// IPv4 and IPv6. Everything else in the file is counted by reason and left.
class CaptureReader
{
public:
    // Why a frame gave no datagram.
    enum class Skip {
        None,
        OtherTraffic, // not IP, not UDP, or UDP to another port
        Fragment,     // a piece of a fragmented IP datagram
        Truncated,    // cut short by the capture's snap length (or the file's end)
    };

    struct Datagram {
        qint64 timeNs = 0; // capture time, nanoseconds since the epoch
        const char *data = nullptr;
        int size = 0;
    };

    CaptureReader() = default;
    ~CaptureReader();
    Q_DISABLE_COPY(CaptureReader)

    // Opens the file: false with one line in *error when it is not a capture,
    // is cut short within its header, or has a link type this reader does
    // not know.
    bool open(const QString &path, quint16 port, QString *error);

    // The next datagram to the port; false at the end of the file. A read
    // error other than a cut-short last packet sets *error (the end is then
    // not clean). Datagram data stays valid until the next call.
    bool next(Datagram *out, QString *error);

    // The link-layer part of next(), for one frame of the given link type.
    static Skip parseFrame(int linkType, const quint8 *frame, int capturedBytes, int wireBytes, quint16 port,
                           Datagram *out);
    static bool linkTypeKnown(int linkType);

    int linkType() const { return link; }
    QString linkTypeName() const;
    int snapLength() const { return snap; }
    quint64 frames() const { return frameCount; }
    quint64 datagrams() const { return datagramCount; }
    quint64 skipped(Skip reason) const { return skips[int(reason)]; }
    // The file ended inside a packet: counted as truncated, not fatal.
    bool endedInsidePacket() const { return cutEnd; }

private:
    pcap_t *handle = nullptr;
    quint16 port = 0;
    int link = -1;
    int snap = 0;
    quint64 frameCount = 0;
    quint64 datagramCount = 0;
    quint64 skips[4] = {};
    bool cutEnd = false;
};

#endif // CAPTURE_READER_H
