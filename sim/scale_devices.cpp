#include "sim/scale_devices.h"

#include <cerrno>
#include <unistd.h>

ScalePtyDevice::ScalePtyDevice(ScaleEngine& Engine, QObject* Parent)
    : QObject(Parent), m_engine(Engine) {}

ScalePtyDevice::~ScalePtyDevice() {
    // Before the line closes the descriptor it watches.
    m_writeNotifier.reset();
}

bool ScalePtyDevice::Open(QString* Error) {
    if (!m_line.Open(
            9600, [this] { OnReadable(); }, Error))
        return false;
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_line.Master(), QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] { Flush(); });
    return true;
}

void ScalePtyDevice::OnReadable() {
    QByteArray chunk;
    while (m_line.Read(chunk)) {
        // The host changes its speed only between its writes, so one reading per chunk
        // tells the speed these bytes were sent at.
        m_engine.FeedSerial(chunk, HostRate());
    }
    while (m_engine.HasOutput()) {
        const ScaleWrite w = m_engine.TakeWrite();
        m_pending.append(m_line.AsHeard(w.Bytes, w.Rate));
    }
    Flush();
}

void ScalePtyDevice::Flush() {
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_line.Master(), m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // full: the write notifier says when there is room again
    }
    m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

ScaleUdpDevice::ScaleUdpDevice(ScaleEngine& Engine, QObject* Parent)
    : QObject(Parent), m_engine(Engine), m_endpoint([this] { OnReadyRead(); }) {}

void ScaleUdpDevice::OnReadyRead() {
    QByteArray data;
    while (m_endpoint.Take(data))
        m_engine.FeedDatagram(data);
    while (m_engine.HasOutput())
        m_endpoint.SendToPeer(m_engine.TakeWrite().Bytes);
}
