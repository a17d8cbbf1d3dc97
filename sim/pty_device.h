#pragma once

#include "sim/device_engine.h"
#include "sim/output_pump.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <memory>

// The device on a pseudo-terminal. The host opens the slave side as its serial port; the
// device keeps the slave open as well, so that the host closing it does not end the master
// side with an error, and so that it can read the line speed the host has set. Bytes the host
// sends at a speed other than the device's rate are lost, and what the device sends while the
// host listens at another speed reaches the host as noise, as on a real line.
class PtyDevice : public QObject {
public:
    PtyDevice(DeviceEngine& Engine, bool Pace, bool SplitChunks, QObject* Parent = nullptr);
    ~PtyDevice() override;

    bool Open(QString* Error);
    QString SlavePath() const { return m_slavePath; }

    // The speed the slave side is set to now (0 if unknown).
    int HostRate() const;
    // Sends what the engine queued outside a request (answers it sends on its own later).
    void KickOutput() {
        if (m_pump)
            m_pump->Kick();
    }

private:
    void OnReadable();
    qsizetype Write(const OutWrite& W);

    DeviceEngine& m_engine;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<OutputPump> m_pump;
    bool m_pace;
    bool m_split;
};

// Bits per second of a termios speed constant (0 for ones a device does not use).
int TermiosSpeedToRate(unsigned Speed);
