#pragma once

// A device link transport that talks to the simulated device's engine inside the test
// process: what the link writes goes to the engine, the engine's answers come back as
// received bytes from the event loop, as a serial driver or a socket would deliver them.

#include "link/link_transport.h"
#include "sim/device_engine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <memory>

class FakeDeviceTransport : public LinkTransport {
public:
    FakeDeviceTransport(std::shared_ptr<DeviceEngine> Engine, bool Serial)
        : m_engine(std::move(Engine)), m_serial(Serial) {}

    bool Openable = true;
    int Writes = 0; // frames the link wrote
    // With a gap, each of the device's writes arrives this many ms after the one before it
    // (the pieces of a split answer, a second copy of an answer), not all at once.
    int WriteGapMs = 0;

    void SetEndpoint(const QString& Endpoint) override { m_endpoint = Endpoint; }
    QString Endpoint() const override { return m_endpoint; }
    bool OpenLine() override {
        // A device that hung up its serial line is gone: its port no longer opens.
        m_open = Openable && !(m_serial && m_engine->HungUp());
        return m_open;
    }
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }
    QString LastError() const override {
        return m_open ? QString() : QStringLiteral("no such line");
    }
    bool Write(const QByteArray& Bytes) override {
        if (!m_open && m_serial)
            return false;
        ++Writes;
        m_engine->Feed(Bytes, m_serial ? m_rate : 0);
        QTimer::singleShot(0, &m_context, [this] { Deliver(); });
        return true;
    }
    bool AgreesBitRate() const override { return m_serial; }
    bool IsDatagram() const override { return !m_serial; }
    void SetBaudRate(int BitsPerSecond) override { m_rate = BitsPerSecond; }
    std::uint32_t ModemStatus() const override { return 0; }

private:
    void Deliver() {
        while (m_engine->HasOutput()) {
            const OutWrite w = m_engine->TakeWrite();
            if (WriteGapMs <= 0) {
                Hand(w);
                continue;
            }
            m_nextArrival = std::max(m_nextArrival, m_clock.elapsed()) + WriteGapMs;
            QTimer::singleShot(int(m_nextArrival - m_clock.elapsed()), &m_context,
                               [this, w] { Hand(w); });
        }
        if (m_serial && m_engine->HungUp() && !m_hangUpDue) {
            // The line hangs up once the device's last answer is on it.
            m_hangUpDue = true;
            const qint64 after = std::max<qint64>(0, m_nextArrival - m_clock.elapsed());
            QTimer::singleShot(int(after), &m_context, [this] {
                if (OnHangUp && m_open)
                    OnHangUp(QStringLiteral("hung up"));
            });
        }
    }
    void Hand(const OutWrite& W) {
        // Bytes sent at another line rate are noise the host cannot read: left out.
        if ((!m_serial || W.Rate == m_rate) && OnBytes && (m_open || !m_serial))
            OnBytes(W.Bytes);
    }

    std::shared_ptr<DeviceEngine> m_engine;
    bool m_serial;
    bool m_open = false;
    int m_rate = 9600;
    QString m_endpoint;
    QObject m_context;
    QElapsedTimer m_clock = StartedClock();
    qint64 m_nextArrival = 0;
    bool m_hangUpDue = false;

    static QElapsedTimer StartedClock() {
        QElapsedTimer t;
        t.start();
        return t;
    }
};
