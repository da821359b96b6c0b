#ifndef REPORT_RECEIVER_H
#define REPORT_RECEIVER_H

#include <QByteArray>
#include <QString>
#include <QVector>

// A bound UDP socket that hands out datagrams with the kernel's arrival time
// (SO_TIMESTAMPNS, wall clock), read in batches (recvmmsg). The arrival time
// comes from the kernel rather than from the moment this process gets round
// to reading, so a busy monitor does not add its own lag to the latencies it
// measures.
class ReportReceiver
{
public:
    struct Datagram {
        qint64 arrivalUs = 0;
        QByteArray data;
        bool truncated = false;
    };

    ReportReceiver() = default;
    ~ReportReceiver();
    ReportReceiver(const ReportReceiver &) = delete;
    ReportReceiver &operator=(const ReportReceiver &) = delete;

    bool bind(const QString &host, quint16 port, QString *error);
    int descriptor() const { return fd; }
    quint16 port() const { return boundPort; }
    // What is waiting now, up to 1024 datagrams, without blocking.
    QVector<Datagram> readAll();

private:
    int fd = -1;
    quint16 boundPort = 0;
};

#endif // REPORT_RECEIVER_H
