#include "sim/udp_device.h"

#include <QNetworkDatagram>

UdpDevice::UdpDevice(DeviceEngine& Engine, bool Pace, int PaceRate, bool SplitChunks,
                     QObject* Parent)
    : QObject(Parent), m_engine(Engine) {
    OutputPump::Options opts;
    opts.Pace = Pace;
    opts.FixedRate = PaceRate;
    opts.WholeWrites = true;
    opts.GapMs = SplitChunks ? 1 : 0;
    m_pump = std::make_unique<OutputPump>(m_engine, opts,
                                          [this](const OutWrite& w) { return Write(w); });
    connect(&m_socket, &QUdpSocket::readyRead, this, [this] { OnReadyRead(); });
}

bool UdpDevice::Open(const QString& Address, quint16 Port, QString* Error) {
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

void UdpDevice::OnReadyRead() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket.receiveDatagram();
        if (!d.isValid())
            continue;
        // Never talk to ourselves, whatever the addresses on this machine look like.
        if (d.senderPort() == m_socket.localPort() && d.senderAddress() == m_socket.localAddress())
            continue;
        m_peer = d.senderAddress();
        m_peerPort = static_cast<quint16>(d.senderPort());
        m_engine.Feed(d.data(), 0);
    }
    m_pump->Kick();
}

qsizetype UdpDevice::Write(const OutWrite& W) {
    if (m_peerPort == 0)
        return W.Bytes.size(); // nobody asked yet: nowhere to send (cannot happen in practice)
    const qint64 n = m_socket.writeDatagram(W.Bytes, m_peer, m_peerPort);
    // A refused datagram is lost, as on a network; the host's retransmission recovers.
    return n < 0 ? W.Bytes.size() : qsizetype(n);
}
