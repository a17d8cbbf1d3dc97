#include "sim/output_pump.h"

#include <algorithm>
#include <cmath>

namespace {
// A full transport is tried again after this pause.
constexpr int kRetryMs = 5;
} // namespace

OutputPump::OutputPump(DeviceEngine& Engine, Options Opts, Writer Write, QObject* Parent)
    : QObject(Parent), m_engine(Engine), m_options(Opts), m_write(std::move(Write)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { Pump(); });
    m_clock.start();
}

void OutputPump::Kick() {
    if (!m_timer.isActive())
        Pump();
}

void OutputPump::ScheduleIn(int Ms) {
    m_timer.start(std::max(1, Ms));
}

void OutputPump::Pump() {
    for (;;) {
        const qint64 now = m_clock.elapsed();
        if (m_options.Pace) {
            const int rate =
                m_options.FixedRate > 0
                    ? m_options.FixedRate
                    : (m_pending.Bytes.isEmpty() ? m_engine.NextWriteRate() : m_pending.Rate);
            const double perMs = rate / 10.0 / 1000.0;
            m_credit += perMs * double(now - m_lastMs);
            // An idle line saves up no more than one answer's worth of time (or the next
            // write, when that must go out whole).
            const double cap = std::max({300.0, perMs * 20, double(m_engine.NextWriteSize())});
            m_credit = std::min(m_credit, cap);
        }
        m_lastMs = now;

        if (m_pending.Bytes.isEmpty()) {
            if (!m_engine.HasOutput())
                return;
            if (m_options.GapMs > 0 && now < m_nextWriteAtMs) {
                ScheduleIn(int(m_nextWriteAtMs - now));
                return;
            }
            const qsizetype size = m_engine.NextWriteSize();
            qsizetype take = size;
            if (m_options.Pace) {
                const auto budget = static_cast<qsizetype>(std::floor(m_credit));
                const qsizetype need = m_options.WholeWrites ? size : 1;
                if (budget < need) {
                    const int rate =
                        m_options.FixedRate > 0 ? m_options.FixedRate : m_engine.NextWriteRate();
                    const double perMs = rate / 10.0 / 1000.0;
                    ScheduleIn(int(std::ceil((double(need) - m_credit) / perMs)));
                    return;
                }
                if (!m_options.WholeWrites)
                    take = std::min(size, budget);
            }
            const bool completesWrite = take == size;
            m_pending = m_engine.TakeWrite(take);
            if (m_options.Pace)
                m_credit -= double(m_pending.Bytes.size());
            if (completesWrite && m_options.GapMs > 0)
                m_nextWriteAtMs = now + m_options.GapMs;
        }

        const qsizetype written = m_write(m_pending);
        if (written <= 0) {
            ScheduleIn(kRetryMs);
            return;
        }
        m_pending.Bytes.remove(0, written);
    }
}
