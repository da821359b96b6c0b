#ifndef DATAGRAM_SENDER_H
#define DATAGRAM_SENDER_H

#include <QByteArray>
#include <QString>
#include <QVector>

// A connected UDP socket that sends queued datagrams in batches of one system
// call each (sendmmsg): at load-test rates the per-call cost, not the copy,
// is what limits a sender on this kind of machine.
class DatagramSender
{
public:
    DatagramSender() = default;
    ~DatagramSender();
    DatagramSender(const DatagramSender &) = delete;
    DatagramSender &operator=(const DatagramSender &) = delete;

    bool open(const QString &host, quint16 port, QString *error);
    void queue(const QByteArray &datagram) { pending.append(datagram); }
    int queued() const { return pending.size(); }
    // Sends everything queued; returns the number of datagrams the kernel refused.
    int flush();

private:
    int fd = -1;
    QVector<QByteArray> pending;
};

#endif // DATAGRAM_SENDER_H
