#include "sim/pty_device.h"

#include <QTimer>

#include <unistd.h>

namespace {
constexpr int kHangUpDelayMs = 50;
} // namespace

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
    if (m_line.Master() < 0)
        return W.Bytes.size(); // hung up: nothing reaches the host any more
    const QByteArray bytes = m_line.AsHeard(W.Bytes, W.Rate);
    const ssize_t n = ::write(m_line.Master(), bytes.constData(), size_t(bytes.size()));
    if (n < 0)
        return 0; // full (EAGAIN): the pump tries again shortly
    if (n == bytes.size() && m_engine.HungUp() && !m_hangUpDue) {
        // The last answer is on the line: give the host a moment to read it, then hang up.
        m_hangUpDue = true;
        QTimer::singleShot(kHangUpDelayMs, this, [this] { m_line.HangUp(); });
    }
    return n;
}
