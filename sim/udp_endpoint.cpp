#include "sim/udp_endpoint.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>

UdpEndpoint::UdpEndpoint(std::function<void()> OnReadable) {
    // Devices answer hosts directly; this also spares the socket QtNetwork's system-proxy query
    // (a lookup thread) before it binds.
    m_socket.setProxy(QNetworkProxy::NoProxy);
    QObject::connect(&m_socket, &QUdpSocket::readyRead,
                     [OnReadable = std::move(OnReadable)] { OnReadable(); });
}

bool UdpEndpoint::Open(const QString& Address, quint16 Port, QString* Error) {
    QHostAddress address;
    if (!address.setAddress(Address)) {
        *Error = QStringLiteral("not an IP address: %1").arg(Address);
        return false;
    }
    if (!m_socket.bind(address, Port,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        *Error = QStringLiteral("cannot bind %1:%2: %3")
                     .arg(Address)
                     .arg(Port)
                     .arg(m_socket.errorString());
        return false;
    }
    return true;
}

bool UdpEndpoint::Take(QByteArray& Data) {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket.receiveDatagram();
        if (!d.isValid())
            continue;
        // Never talk to ourselves, whatever the addresses on this machine look like.
        if (d.senderPort() == m_socket.localPort() && d.senderAddress() == m_socket.localAddress())
            continue;
        m_peer = d.senderAddress();
        m_peerPort = static_cast<quint16>(d.senderPort());
        Data = d.data();
        return true;
    }
    return false;
}

qint64 UdpEndpoint::SendToPeer(const QByteArray& Data) {
    if (m_peerPort == 0)
        return -1;
    return m_socket.writeDatagram(Data, m_peer, m_peerPort);
}
