#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QUdpSocket>

#include <functional>

// The UDP socket a simulated device answers on: it talks to whoever sent the last datagram.
// Bound with address sharing so a host on the same machine can bind the same port number on
// all interfaces.
class UdpEndpoint {
public:
    // OnReadable runs from the event loop whenever datagrams are waiting.
    explicit UdpEndpoint(std::function<void()> OnReadable);

    bool Open(const QString& Address, quint16 Port, QString* Error);
    QHostAddress LocalAddress() const { return m_socket.localAddress(); }
    quint16 LocalPort() const { return m_socket.localPort(); }

    // The next datagram from a host, whose sender becomes the peer; false when none is left.
    bool Take(QByteArray& Data);
    // Closes the socket: datagrams to it are refused from now on.
    void Close() { m_socket.close(); }
    // Sends one datagram to the peer: the bytes sent, or -1 when there is no peer yet or the
    // datagram was refused.
    qint64 SendToPeer(const QByteArray& Data);

private:
    QUdpSocket m_socket;
    QHostAddress m_peer;
    quint16 m_peerPort = 0;
};
