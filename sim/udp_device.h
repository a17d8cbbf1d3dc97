#pragma once

#include "sim/device_engine.h"
#include "sim/output_pump.h"
#include "sim/udp_endpoint.h"

#include <QHostAddress>
#include <QObject>

#include <memory>

// The device on UDP: every datagram that arrives is fed to the engine as it came, and each
// answer write goes back as one datagram to the sender of the last request (see UdpEndpoint).
class UdpDevice : public QObject {
public:
    UdpDevice(DeviceEngine& Engine, bool Pace, int PaceRate, bool SplitChunks,
              QObject* Parent = nullptr);

    bool Open(const QString& Address, quint16 Port, QString* Error) {
        return m_endpoint.Open(Address, Port, Error);
    }
    QHostAddress LocalAddress() const { return m_endpoint.LocalAddress(); }
    quint16 LocalPort() const { return m_endpoint.LocalPort(); }
    // Sends what the engine queued outside a request (answers it sends on its own later).
    void KickOutput() {
        if (m_pump)
            m_pump->Kick();
    }

private:
    void OnReadyRead();
    qsizetype Write(const OutWrite& W);

    DeviceEngine& m_engine;
    UdpEndpoint m_endpoint;
    std::unique_ptr<OutputPump> m_pump;
    bool m_hangUpDue = false;
};
