#pragma once

#include "sim/pty_line.h"
#include "sim/scale_engine.h"
#include "sim/udp_endpoint.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>

#include <memory>

// The simulated scale on a pseudo-terminal (see PtyLine). The host may close and reopen the
// slave side. What the scale sends while the host's port is at another speed reaches the host
// as noise, as on a real line.
class ScalePtyDevice : public QObject {
public:
    explicit ScalePtyDevice(ScaleEngine& Engine, QObject* Parent = nullptr);
    ~ScalePtyDevice() override;

    bool Open(QString* Error);
    QString SlavePath() const { return m_line.SlavePath(); }
    // The speed the slave side is set to now (0 if unknown).
    int HostRate() const { return m_line.HostRate(); }

private:
    void OnReadable();
    void Flush();

    ScaleEngine& m_engine;
    PtyLine m_line;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QByteArray m_pending; // bytes the master could not take yet
};

// The simulated scale on UDP: each datagram goes to the engine, each answer write goes back
// as one datagram to the sender of the last datagram (see UdpEndpoint).
class ScaleUdpDevice : public QObject {
public:
    explicit ScaleUdpDevice(ScaleEngine& Engine, QObject* Parent = nullptr);

    bool Open(const QString& Address, quint16 Port, QString* Error) {
        return m_endpoint.Open(Address, Port, Error);
    }
    QHostAddress LocalAddress() const { return m_endpoint.LocalAddress(); }
    quint16 LocalPort() const { return m_endpoint.LocalPort(); }

private:
    void OnReadyRead();

    ScaleEngine& m_engine;
    UdpEndpoint m_endpoint;
};
