#ifndef TESTS_APP_SITE_INI_H
#define TESTS_APP_SITE_INI_H

// config.ini texts: the network group for loopback ports, a 20 m x 15 m hall.

#include "ingest/anchor_record.h"

#include <QString>

#include <cmath>

namespace site {

// Four corners at 3 m, then the middles of the long walls.
inline const double kAnchors[6][3] = {{0, 0, 3}, {20, 0, 3}, {20, 15, 3}, {0, 15, 3}, {10, 0, 3}, {10, 15, 3}};

inline QString anchorKey(int a) { return QStringLiteral("A0000000000%1").arg(a + 1); }

// [network_setting] with the ports given; a 0 port leaves its keys out.
inline QString network(quint16 anchor, quint16 request, quint16 location = 0, quint16 reply = 0)
{
    QString ini = QStringLiteral("[network_setting]\n");
    if (anchor)
        ini += QStringLiteral("local_udp_listen_anchor_port=%1\n").arg(anchor);
    if (request)
        ini += QStringLiteral("local_udp_listen_parameters_configuration_port=%1\n").arg(request);
    if (location)
        ini += QStringLiteral("remote_udp_server_location_ip=127.0.0.1\nremote_udp_server_location_port=%1\n").arg(location);
    if (reply)
        ini += QStringLiteral("remote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                              "remote_udp_server_parameters_configuration_port=%1\n").arg(reply);
    return ini;
}

// The debug channel on. Its line kWorkersRunning says the workers, which empty the FIFO
// as they start, have started (the algorithm thread, last): later records are all processed.
inline QString debugOn() { return QStringLiteral("[token_msg]\nswitch=debugmsg\n"); }
inline const QString kWorkersRunning = QStringLiteral("AlgorithmThread running!");

// The hall's anchors and a tag height of 1.2 m.
inline QString hall()
{
    QString ini = QStringLiteral("[anchor_coordinate]\n");
    for (int a = 0; a < 6; ++a)
        ini += QStringLiteral("%1=\"%2,%3,%4\"\n").arg(anchorKey(a)).arg(kAnchors[a][0]).arg(kAnchors[a][1]).arg(kAnchors[a][2]);
    return ini + QStringLiteral("[tag_high]\ntag1=1.2\n");
}

// One transmission of `tag` from (x, y) at the tag height, a record per anchor of the hall, its clock at seq + 1 ms.
inline QByteArray transmission(const QByteArray &tag, int seq, double x, double y)
{
    QByteArray all;
    for (int a = 0; a < 6; ++a) {
        const double *p = kAnchors[a];
        const double ticks = std::hypot(p[0] - x, p[1] - y, p[2] - 1.2) / 0.00468;
        all += record::make(quint8(seq), QByteArray::fromHex(anchorKey(a).toLatin1()),
                            quint64(1000000) * quint64(seq + 1) + quint64(std::llround(ticks)), tag, QByteArray());
    }
    return all;
}

} // namespace site

#endif // TESTS_APP_SITE_INI_H
