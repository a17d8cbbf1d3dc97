#pragma once

#include "sim/device_engine.h"
#include "sim/output_pump.h"
#include "sim/pty_line.h"

#include <QObject>
#include <QString>

#include <memory>

// The device on a pseudo-terminal (see PtyLine). Bytes the host sends at a speed other than
// the device's rate are lost, and what the device sends while the host listens at another
// speed reaches the host as noise, as on a real line.
class PtyDevice : public QObject {
public:
    PtyDevice(DeviceEngine& Engine, bool Pace, bool SplitChunks, QObject* Parent = nullptr);

    bool Open(QString* Error);
    QString SlavePath() const { return m_line.SlavePath(); }

    // The speed the slave side is set to now (0 if unknown).
    int HostRate() const { return m_line.HostRate(); }
    // Sends what the engine queued outside a request (answers it sends on its own later).
    void KickOutput() {
        if (m_pump)
            m_pump->Kick();
    }

private:
    void OnReadable();
    qsizetype Write(const OutWrite& W);

    DeviceEngine& m_engine;
    PtyLine m_line;
    std::unique_ptr<OutputPump> m_pump;
    bool m_pace;
    bool m_split;
    bool m_hangUpDue = false;
};
