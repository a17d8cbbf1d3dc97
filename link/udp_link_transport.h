#pragma once

#include "link/link_transport.h"
#include "transport/udp_port_lock.h"

#include <QHostAddress>

#include <memory>

class TNMUDP;

// The device link over UDP (TNMUDP): every frame is one datagram to the device's port 5002,
// and answers arrive on local port 5002.
//
// While open, the link holds its local port number machine-wide (UdpPortLock): a second
// program asking for the same port fails to open instead of sharing it, as a serial line is
// held by the one program that opened it.
//
// Only datagrams from the address the link sends to are passed on: anything else on the
// local port (another device, a stray sender) is not an answer and must not reach the
// session. A host name is resolved without blocking; until the address is known, writes
// fail and nothing is accepted (the session's time-out retransmits).
class UdpLinkTransport : public LinkTransport {
public:
    explicit UdpLinkTransport(int RemotePort = 5002, int LocalPort = 5002);
    ~UdpLinkTransport() override;

    void SetEndpoint(const QString& Endpoint) override;
    QString Endpoint() const override { return m_host; }
    bool OpenLine() override;
    void Close() override;
    bool IsOpen() const override;
    QString LastError() const override { return m_lastError; }
    bool Write(const QByteArray& Bytes) override;
    void DiscardInput() override;
    bool AgreesBitRate() const override { return false; }
    bool IsDatagram() const override { return true; }
    void SetBaudRate(int) override {}
    std::uint32_t ModemStatus() const override { return 0; }

    // The local port actually bound (useful with LocalPort 0); 0 while closed or unbound.
    int BoundPort() const;
    // The device address datagrams go to and are accepted from; null until resolved.
    QHostAddress RemoteAddress() const { return m_remote; }

private:
    void Resolve();
    void OnDatagram(int NumberBytes, const QString& FromIP);

    int m_remotePort;
    int m_localPort;
    QString m_host;
    QHostAddress m_remote;
    int m_lookupId = -1;
    std::unique_ptr<TNMUDP> m_udp;
    UdpPortLock m_portLock;
    QString m_lastError;
};
