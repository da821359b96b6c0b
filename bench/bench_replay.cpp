// Writes the capture and the two configurations of the replay benchmark:
// a site of 8 anchors in a 40 m x 30 m hall, TAGS tags (1000) blinking at
// RATE Hz (10) for SECONDS (60), each anchor's record in a datagram of its
// own as anchors send them, as an Ethernet pcap file. Then
//   solver_replay --fast --config DIR/default.ini  --out /dev/null DIR/capture.pcap
//   solver_replay --fast --config DIR/accuracy.ini --out /dev/null DIR/capture.pcap
// print records per second and CPU per record: the first with the default
// keys, the second with nlos_rejection, track_filter and report_accuracy on.
//
// Usage: bench_replay DIR [TAGS] [RATE] [SECONDS]
#include "tools/sim/anchor_simulator.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr quint16 kAnchorPort = 9100;

QByteArray siteIni(bool accuracy)
{
    QByteArray ini = "[network_setting]\nlocal_udp_listen_anchor_port=9100\n"
                     "remote_udp_server_location_ip=127.0.0.1\nremote_udp_server_location_port=9102\n"
                     "[algorithm_config]\ns_enable=true\ns_length=5\ns_start_half_length=3\ns_redundant=2\n"
                     "active_time=10\ndelay_window_1908=2\n";
    if (accuracy)
        ini += "nlos_rejection=true\nrange_noise=0.05\ntrack_filter=true\ntrack_accel=1.0\nreport_accuracy=true\n";
    ini += "[tag_high]\ntag1=1.2\n[anchor_coordinate]\n";
    const char *xyz[] = {"0,0,3", "20,0,3", "40,0,3", "40,15,3", "40,30,3", "20,30,3", "0,30,3", "0,15,3"};
    for (int i = 0; i < 8; ++i)
        ini += QByteArray("A0000000000") + QByteArray::number(i + 1) + "=\"" + xyz[i] + "\"\n";
    return ini;
}

// Ethernet, IPv4 and UDP headers around one record, from 10.0.0.x to the port.
QByteArray frame(const QByteArray &payload, int anchor)
{
    uchar p[14 + 20 + 8] = {};
    p[12] = 0x08;
    p[14] = 0x45;
    qToBigEndian<quint16>(quint16(20 + 8 + payload.size()), p + 16);
    p[22] = 64;
    p[23] = 17;
    p[26] = 192, p[27] = 0, p[28] = 2, p[29] = quint8(10 + anchor); // documentation range, never sent
    p[30] = 192, p[31] = 0, p[32] = 2, p[33] = 1;
    qToBigEndian<quint16>(quint16(40000 + anchor), p + 34);
    qToBigEndian<quint16>(kAnchorPort, p + 36);
    qToBigEndian<quint16>(quint16(8 + payload.size()), p + 38);
    return QByteArray(reinterpret_cast<const char *>(p), int(sizeof p)) + payload;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_replay DIR [TAGS] [RATE] [SECONDS]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const int tags = argc > 2 ? std::atoi(argv[2]) : 1000;
    const double rate = argc > 3 ? std::atof(argv[3]) : 10;
    const double seconds = argc > 4 ? std::atof(argv[4]) : 60;
    QDir().mkpath(dir);
    for (const bool accuracy : {false, true}) {
        QFile ini(dir + (accuracy ? "/accuracy.ini" : "/default.ini"));
        if (!ini.open(QIODevice::WriteOnly) || ini.write(siteIni(accuracy)) < 0)
            return 1;
    }

    QVector<SiteAnchor> anchors;
    const double xyz[8][2] = {{0, 0}, {20, 0}, {40, 0}, {40, 15}, {40, 30}, {20, 30}, {0, 30}, {0, 15}};
    for (int i = 0; i < 8; ++i) {
        SiteAnchor a;
        a.id = QByteArray::fromHex(QByteArray("A0000000000") + QByteArray::number(i + 1));
        a.x = xyz[i][0];
        a.y = xyz[i][1];
        a.z = 3;
        anchors.append(a);
    }
    sim::SimSettings settings;
    settings.tags = tags;
    settings.noiseMetres = 0.03;
    sim::AnchorSimulator simulator(anchors, 1.2, settings);

    pcap_t *dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    const QByteArray path = QFile::encodeName(dir + "/capture.pcap");
    pcap_dumper_t *out = pcap_dump_open(dead, path.constData());
    if (!out) {
        std::fprintf(stderr, "bench_replay: %s\n", pcap_geterr(dead));
        return 1;
    }
    // A start on a whole second of a fixed day: the same file every time.
    const qint64 startNs = qint64(1796640000) * 1000000000;
    const auto total = qint64(seconds * rate * tags);
    qint64 records = 0;
    for (qint64 k = 0; k < total; ++k) {
        const double at = double(k) / (rate * tags);
        const sim::Transmission tx = simulator.transmit(int(k % tags), at);
        for (int i = 0; i < tx.records.size(); ++i) {
            const QByteArray f = frame(tx.records.at(i), i);
            // Each anchor's record a few microseconds after the one before.
            const qint64 ns = startNs + qint64(at * 1e9) + 3000 * i;
            pcap_pkthdr h{};
            h.ts.tv_sec = ns / 1000000000;
            h.ts.tv_usec = ns % 1000000000; // nanoseconds in a nanosecond file
            h.caplen = h.len = bpf_u_int32(f.size());
            pcap_dump(reinterpret_cast<u_char *>(out), &h, reinterpret_cast<const u_char *>(f.constData()));
            ++records;
        }
    }
    pcap_dump_close(out);
    pcap_close(dead);
    std::printf("bench_replay: %lld records of %d tags x %d anchors at %.0f Hz for %.0f s in %s\n",
                static_cast<long long>(records), tags, int(anchors.size()), rate, seconds, path.constData());
    return 0;
}
