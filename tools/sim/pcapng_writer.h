#ifndef PCAPNG_WRITER_H
#define PCAPNG_WRITER_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

// Writes anchor datagrams to a pcapng file instead of sending them, as a
// capture on the program's host would show them: Ethernet frames with zero
// addresses (as Linux's loopback interface has them), IPv4 and UDP headers
// with valid checksums, from an anchor address to the program's address and
// anchor port, time-stamped in nanoseconds. libpcap only writes classic pcap,
// and the three block types needed here are a few lines each.
class PcapngWriter
{
public:
    // The source of every datagram: one address for all the simulated anchors.
    static constexpr quint32 kAnchorAddress = 0x7f000002; // 127.0.0.2
    static constexpr quint16 kAnchorPort = 50000;
    // Largest UDP payload an IPv4 packet can carry.
    static constexpr int kLargestPayload = 65535 - 20 - 8;

    PcapngWriter() = default;
    PcapngWriter(const PcapngWriter &) = delete;
    PcapngWriter &operator=(const PcapngWriter &) = delete;

    // Creates the file and writes its section header and interface.
    bool open(const QString &path, quint32 destination, quint16 port, const QString &application,
              QString *error);
    void queue(const QByteArray &datagram) { pending.append(datagram); }
    int queued() const { return pending.size(); }
    // Writes everything queued with this time stamp (nanoseconds since the
    // epoch); returns the number of datagrams too large for IPv4, left out as
    // a socket would refuse them. False in *ok when the file cannot be written.
    int flush(qint64 nanoseconds, bool *ok);
    // Writes what is buffered and closes the file; false when that fails.
    bool close();
    QString errorString() const { return file.errorString(); }

private:
    bool writeBuffered(bool force);

    QFile file;
    QByteArray buffer;
    QVector<QByteArray> pending;
    quint32 destination = 0;
    quint16 port = 0;
    quint16 identification = 0;
};

#endif // PCAPNG_WRITER_H
