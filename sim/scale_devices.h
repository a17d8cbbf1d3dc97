#pragma once

#include "sim/scale_engine.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <deque>
#include <memory>

// The simulated scale on a pseudo-terminal. The host opens the slave side as its serial port;
// the scale keeps the slave open as well, to read the line speed the host has set and so the
// host may close and reopen it. What the scale sends while the host's port is at another speed
// reaches the host as noise, as on a real line.
class ScalePtyDevice : public QObject {
public:
    explicit ScalePtyDevice(ScaleEngine& Engine, QObject* Parent = nullptr);
    ~ScalePtyDevice() override;

    bool Open(QString* Error);
    QString SlavePath() const { return m_slavePath; }
    // The speed the slave side is set to now (0 if unknown).
    int HostRate() const;

private:
    void OnReadable();
    void Flush();

    ScaleEngine& m_engine;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QByteArray m_pending; // bytes the master could not take yet
};

// The simulated scale on UDP: each datagram goes to the engine, each answer write goes back
// as one datagram to the sender of the last datagram.
class ScaleUdpDevice : public QObject {
public:
    explicit ScaleUdpDevice(ScaleEngine& Engine, QObject* Parent = nullptr);

    bool Open(const QString& Address, quint16 Port, QString* Error);
    QHostAddress LocalAddress() const { return m_socket.localAddress(); }
    quint16 LocalPort() const { return m_socket.localPort(); }

private:
    void OnReadyRead();

    ScaleEngine& m_engine;
    QUdpSocket m_socket;
    QHostAddress m_peer;
    quint16 m_peerPort = 0;
};
