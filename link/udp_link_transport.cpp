#include "link/udp_link_transport.h"

#include "transport/nmudp.h"

#include <QHostInfo>

#include <array>

UdpLinkTransport::UdpLinkTransport(int RemotePort, int LocalPort)
    : m_remotePort(RemotePort), m_localPort(LocalPort) {}

UdpLinkTransport::~UdpLinkTransport() {
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

void UdpLinkTransport::SetEndpoint(const QString& Endpoint) {
    if (Endpoint == m_host && !m_remote.isNull())
        return;
    m_host = Endpoint;
    Resolve();
}

void UdpLinkTransport::Resolve() {
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_remote.clear();
    const QString host = m_host.trimmed();
    if (host.isEmpty())
        return;
    if (const auto numeric = NumericIPv4(host)) {
        m_remote = QHostAddress(*numeric);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(host, [this, host](const QHostInfo& info) {
        m_lookupId = -1;
        if (host != m_host.trimmed())
            return;
        for (const QHostAddress& a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                m_remote = a;
                return;
            }
        }
        m_lastError = QStringLiteral("Host Lookup Canceled");
    });
}

bool UdpLinkTransport::OpenLine() {
    m_lastError.clear();
    Close();
    // The hold comes first: without it the bind below would share the port with another
    // program's upload, and each would read the other's answers.
    if (m_localPort != 0 && !m_portLock.Acquire(m_localPort, &m_lastError))
        return false;
    m_udp = std::make_unique<TNMUDP>();
    m_udp->SetRemotePort(m_remotePort);
    m_udp->SetReportLevel(16);
    m_udp->SetLocalPort(m_localPort);
    if (!m_udp->IsBound()) {
        m_lastError = QStringLiteral("local UDP port %1 is in use").arg(m_localPort);
        m_udp.reset();
        m_portLock.Release();
        return false;
    }
    m_udp->OnDataReceived = [this](TNMUDP*, int numberBytes, const QString& fromIp, int) {
        OnDatagram(numberBytes, fromIp);
    };
    if (m_remote.isNull() && m_lookupId < 0)
        Resolve();
    return true;
}

void UdpLinkTransport::Close() {
    if (m_udp)
        m_udp->OnDataReceived = nullptr;
    m_udp.reset();
    m_portLock.Release();
}

bool UdpLinkTransport::IsOpen() const {
    return m_udp != nullptr;
}

int UdpLinkTransport::BoundPort() const {
    return m_udp ? m_udp->BoundPort() : 0;
}

void UdpLinkTransport::DiscardInput() {
    if (m_udp)
        m_udp->DiscardPending();
}

bool UdpLinkTransport::Write(const QByteArray& Bytes) {
    if (!m_udp) {
        m_lastError = QStringLiteral("socket not open");
        return false;
    }
    if (m_remote.isNull()) {
        m_lastError = m_lookupId >= 0 ? QStringLiteral("host lookup pending")
                                      : QStringLiteral("no device address");
        return false;
    }
    // The address is passed in numeric form so the send never waits for a name lookup.
    m_udp->SetRemoteHost(m_remote.toString());
    try {
        m_udp->SendDatagram(Bytes.constData(), static_cast<int>(Bytes.size()));
    } catch (const UDPSockError& e) {
        m_lastError = QString::fromLatin1(e.what());
        return false;
    }
    return true;
}

void UdpLinkTransport::OnDatagram(int NumberBytes, const QString& FromIP) {
    if (NumberBytes < 1 || !m_udp)
        return;
    if (m_remote.isNull() || QHostAddress(FromIP) != m_remote)
        return; // not from the device this link talks to
    std::array<char, kUdpReceiveBufferSize> buffer{};
    const int n = m_udp->ReadDatagram(buffer.data(), static_cast<int>(buffer.size()));
    if (n > 0 && OnBytes)
        OnBytes(QByteArray(buffer.data(), n));
}
