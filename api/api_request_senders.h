#ifndef API_REQUEST_SENDERS_H
#define API_REQUEST_SENDERS_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

// Who may send configuration requests: the configuration endpoint's own
// addresses and the networks of network_setting/parameters_configuration_allow.
// Anyone else could rewrite the anchors' coordinates, and every position after.
class ApiRequestSenders
{
public:
    // A single address (its whole length) or a network in prefix form
    // ("10.1.2.0/24", "fd00::/64"). An IPv4-mapped IPv6 address counts as its
    // IPv4 address, here and for a sender.
    bool add(const QString &addressOrPrefix);
    // A comma-separated list; the parts that do not parse are returned and
    // left out, the rest applies.
    QStringList addList(const QString &list);
    // The addresses of a name or literal address; false when it gives none.
    bool addHost(const QString &nameOrAddress);

    bool allows(const QHostAddress &sender) const;
    bool isEmpty() const { return networks.isEmpty(); }
    // As configured, for the log: "127.0.0.1/32, 10.1.2.0/24".
    QString describe() const;

    // The IPv4 address of an IPv4-mapped IPv6 one, others unchanged.
    static QHostAddress plain(const QHostAddress &address);

private:
    QList<QPair<QHostAddress, int>> networks;
};

#endif // API_REQUEST_SENDERS_H
