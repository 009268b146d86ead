#include "listenaddress.h"

bool isEveryAddress(const QHostAddress &address)
{
    return address == QHostAddress::Any || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
}

QString placeText(const QHostAddress &address)
{
    return isEveryAddress(address) ? QStringLiteral("every network address") : address.toString();
}

QString audience(const QHostAddress &address)
{
    if (isEveryAddress(address))
        return QStringLiteral("every network address: the screen is offered to the whole network");
    if (address.isLoopback())
        return QStringLiteral("%1 only: the screen is offered to this machine only").arg(address.toString());
    return QStringLiteral("%1 only: the screen is offered to whoever can reach that address")
        .arg(address.toString());
}

QByteArray peerText(const QHostAddress &peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    return (isIPv4 ? QHostAddress(ipv4) : peer).toString().toLatin1();
}
