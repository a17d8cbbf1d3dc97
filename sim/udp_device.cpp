#include "sim/udp_device.h"

#include <QTimer>

UdpDevice::UdpDevice(DeviceEngine& Engine, bool Pace, int PaceRate, bool SplitChunks,
                     QObject* Parent)
    : QObject(Parent), m_engine(Engine), m_endpoint([this] { OnReadyRead(); }) {
    OutputPump::Options opts;
    opts.Pace = Pace;
    opts.FixedRate = PaceRate;
    opts.WholeWrites = true;
    opts.GapMs = SplitChunks ? 1 : 0;
    m_pump = std::make_unique<OutputPump>(m_engine, opts,
                                          [this](const OutWrite& w) { return Write(w); });
}

void UdpDevice::OnReadyRead() {
    QByteArray data;
    while (m_endpoint.Take(data))
        m_engine.Feed(data, 0);
    m_pump->Kick();
}

qsizetype UdpDevice::Write(const OutWrite& W) {
    // Nobody asked yet (cannot happen in practice), or the datagram was refused: it is lost,
    // as on a network; the host's retransmission recovers.
    const qint64 n = m_endpoint.SendToPeer(W.Bytes);
    if (m_engine.HungUp() && !m_hangUpDue) {
        // A device that hangs up on UDP closes its socket once its last answer is out.
        m_hangUpDue = true;
        QTimer::singleShot(0, this, [this] { m_endpoint.Close(); });
    }
    return n < 0 ? W.Bytes.size() : qsizetype(n);
}
