#include "sim/pty_device.h"

#include <unistd.h>

PtyDevice::PtyDevice(DeviceEngine& Engine, bool Pace, bool SplitChunks, QObject* Parent)
    : QObject(Parent), m_engine(Engine), m_pace(Pace), m_split(SplitChunks) {}

bool PtyDevice::Open(QString* Error) {
    // The line starts at the device's power-on rate.
    if (!m_line.Open(
            m_engine.LineRate(), [this] { OnReadable(); }, Error))
        return false;
    OutputPump::Options opts;
    opts.Pace = m_pace;
    opts.GapMs = m_split ? 2 : 0;
    m_pump = std::make_unique<OutputPump>(m_engine, opts,
                                          [this](const OutWrite& w) { return Write(w); });
    return true;
}

void PtyDevice::OnReadable() {
    QByteArray chunk;
    while (m_line.Read(chunk)) {
        // The speed is read per chunk: the host changes it only between its writes.
        int rate = HostRate();
        if (rate == 0)
            rate = -1; // a speed no device runs at: the bytes are noise
        m_engine.Feed(chunk, rate);
    }
    m_pump->Kick();
}

qsizetype PtyDevice::Write(const OutWrite& W) {
    const QByteArray bytes = m_line.AsHeard(W.Bytes, W.Rate);
    const ssize_t n = ::write(m_line.Master(), bytes.constData(), size_t(bytes.size()));
    if (n < 0)
        return 0; // full (EAGAIN): the pump tries again shortly
    return n;
}
