#ifndef ZRNET_EXAMPLES_LISTENADDRESS_H
#define ZRNET_EXAMPLES_LISTENADDRESS_H

// Listening addresses written as URLs write them: IPv4 bare, IPv6 in brackets.

#include <QHostAddress>
#include <QString>

// The address as a URL's host: "127.0.0.1", "[::1]".
inline QString urlHost(const QString &address)
{
    if (!address.contains(QLatin1Char(':')))
        return address;
    return QLatin1Char('[') + address + QLatin1Char(']');
}

// "ADDRESS:PORT" with a numeric address: "0.0.0.0:8080", "[::]:8080", "[::1]:8080".
// False for anything else, such as a host name or IPv6 without brackets.
inline bool parseListenAddress(const QString &value, QString *address, int *port)
{
    const int colon = value.lastIndexOf(QLatin1Char(':'));
    QString host = value.left(colon);
    const bool bracketed = host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'));
    if (bracketed)
        host = host.mid(1, host.size() - 2);
    bool isNumber = false;
    *port = value.mid(colon + 1).toInt(&isNumber);
    *address = host;
    const QAbstractSocket::NetworkLayerProtocol family = QHostAddress(host).protocol();
    return colon >= 0 && isNumber && *port >= 0 && *port <= 65535
        && family == (bracketed ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol);
}

#endif // ZRNET_EXAMPLES_LISTENADDRESS_H
