#include "api/api_request_senders.h"

#include <QHostInfo>

#include <algorithm>

QHostAddress ApiRequestSenders::plain(const QHostAddress &address)
{
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4) : address;
}

bool ApiRequestSenders::add(const QString &addressOrPrefix)
{
    const QString text = addressOrPrefix.trimmed();
    if (text.isEmpty())
        return false;
    QHostAddress address;
    int length = -1;
    if (text.contains(QLatin1Char('/'))) {
        const QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(text);
        address = subnet.first;
        length = subnet.second;
        if (address.isNull() || length < 0)
            return false;
    } else {
        address = QHostAddress(text);
        if (address.isNull())
            return false;
    }
    bool mapped = false;
    address.toIPv4Address(&mapped);
    if (mapped && address.protocol() == QAbstractSocket::IPv6Protocol) {
        // ::ffff:10.0.0.0/104 is 10.0.0.0/8.
        if (length >= 0 && length < 96)
            return false;
        length = length < 0 ? -1 : length - 96;
        address = plain(address);
    }
    if (length < 0)
        length = address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    networks.append({address, length});
    return true;
}

QStringList ApiRequestSenders::addList(const QString &list)
{
    QStringList refused;
    for (const QString &part : list.split(QLatin1Char(','))) {
        if (part.trimmed().isEmpty()) // "a,,b" or a trailing comma
            continue;
        if (!add(part))
            refused.append(part.trimmed());
    }
    return refused;
}

bool ApiRequestSenders::addHost(const QString &nameOrAddress)
{
    const QString text = nameOrAddress.trimmed();
    if (text.isEmpty())
        return false;
    if (!QHostAddress(text).isNull())
        return add(text);
    bool any = false;
    for (const QHostAddress &address : QHostInfo::fromName(text).addresses())
        any = add(plain(address).toString()) || any;
    return any;
}

bool ApiRequestSenders::allows(const QHostAddress &sender) const
{
    const QHostAddress from = plain(sender);
    return std::any_of(networks.cbegin(), networks.cend(), [&from](const QPair<QHostAddress, int> &network) {
        return from.isInSubnet(network.first, network.second);
    });
}

QString ApiRequestSenders::describe() const
{
    QStringList parts;
    for (const auto &network : networks)
        parts.append(network.first.toString() + QLatin1Char('/') + QString::number(network.second));
    return parts.join(QStringLiteral(", "));
}
