#pragma once

#include "sim/device_engine.h"
#include "sim/output_pump.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

#include <memory>

// The device on UDP: every datagram that arrives is fed to the engine as it came, and each
// answer write goes back as one datagram to the sender of the last request. The socket is
// bound with address sharing so a host on the same machine can bind the same port number on
// all interfaces.
class UdpDevice : public QObject {
public:
    UdpDevice(DeviceEngine& Engine, bool Pace, int PaceRate, bool SplitChunks,
              QObject* Parent = nullptr);

    bool Open(const QString& Address, quint16 Port, QString* Error);
    QHostAddress LocalAddress() const { return m_socket.localAddress(); }
    quint16 LocalPort() const { return m_socket.localPort(); }
    // Sends what the engine queued outside a request (answers it sends on its own later).
    void KickOutput() {
        if (m_pump)
            m_pump->Kick();
    }

private:
    void OnReadyRead();
    qsizetype Write(const OutWrite& W);

    DeviceEngine& m_engine;
    QUdpSocket m_socket;
    std::unique_ptr<OutputPump> m_pump;
    QHostAddress m_peer;
    quint16 m_peerPort = 0;
};
