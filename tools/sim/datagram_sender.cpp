#include "tools/sim/datagram_sender.h"

#include <QHostAddress>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int kBatch = 64;
}

DatagramSender::~DatagramSender()
{
    if (fd >= 0)
        ::close(fd);
}

bool DatagramSender::open(const QString &host, quint16 port, QString *error)
{
    QHostAddress address;
    if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv4Protocol) {
        *error = QStringLiteral("not an IPv4 address: %1").arg(host);
        return false;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(address.toIPv4Address());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

int DatagramSender::flush()
{
    int refused = 0;
    mmsghdr messages[kBatch];
    iovec parts[kBatch];
    for (int done = 0; done < pending.size();) {
        const int n = std::min(kBatch, pending.size() - done);
        for (int i = 0; i < n; ++i) {
            QByteArray &d = pending[done + i];
            parts[i].iov_base = d.data();
            parts[i].iov_len = size_t(d.size());
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd, messages, unsigned(n), 0);
        if (sent <= 0) {
            if (sent < 0 && errno == EINTR)
                continue;
            // Nothing left of this batch will go (for example the port is
            // closed and the kernel reports the earlier ICMP error): count the
            // first datagram as lost and carry on with the rest.
            ++refused;
            ++done;
            continue;
        }
        done += sent;
    }
    pending.clear();
    return refused;
}
