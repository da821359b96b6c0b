#include "tools/monitor/report_receiver.h"

#include <QHostAddress>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kBatch = 64;
// Batches per readAll: at most 1024 datagrams, so a flood of reports cannot
// keep the event loop from its timers and from SIGTERM.
constexpr int kMostBatches = 16;
constexpr int kLargest = 8192;               // reports are well under 1 KiB
constexpr int kReceiveBuffer = 8 * 1024 * 1024; // rides out bursts of reports
}

ReportReceiver::~ReportReceiver()
{
    if (fd >= 0)
        ::close(fd);
}

bool ReportReceiver::bind(const QString &host, quint16 port, QString *error)
{
    QHostAddress address;
    if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        *error = QStringLiteral("not an IPv4 address: %1").arg(host);
        return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(address.toIPv4Address());
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
        *error = QStringLiteral("cannot bind %1:%2: %3").arg(host).arg(port).arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    socklen_t len = sizeof at;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &len);
    boundPort = ntohs(at.sin_port);
    return true;
}

QVector<ReportReceiver::Datagram> ReportReceiver::readAll()
{
    QVector<Datagram> out;
    static thread_local char buffers[kBatch][kLargest];
    static thread_local char controls[kBatch][CMSG_SPACE(sizeof(timespec))];
    mmsghdr messages[kBatch];
    iovec parts[kBatch];
    for (int batch = 0; batch < kMostBatches; ++batch) {
        for (int i = 0; i < kBatch; ++i) {
            parts[i] = {buffers[i], kLargest};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i];
            messages[i].msg_hdr.msg_controllen = sizeof controls[i];
        }
        const int got = ::recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0)
            break;
        const qint64 nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        for (int i = 0; i < got; ++i) {
            Datagram d;
            d.arrivalUs = nowUs;
            for (cmsghdr *c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    d.arrivalUs = qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
                }
            }
            d.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
            d.data = QByteArray(buffers[i], int(std::min<unsigned>(messages[i].msg_len, kLargest)));
            out.append(d);
        }
        if (got < kBatch)
            break;
    }
    return out;
}
