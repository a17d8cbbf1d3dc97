#pragma once

#include "sim/device_engine.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

// Moves the engine's answers to a transport, optionally no faster than a serial line would:
// rate/10 bytes per second (8 data bits, start and stop bit). Waiting is done with a timer.
class OutputPump : public QObject {
public:
    struct Options {
        bool Pace = false;
        int FixedRate = 0;        // pace at this rate; 0 = the rate of each write (serial)
        bool WholeWrites = false; // a write is never cut (one datagram); else pacing may cut it
        int GapMs = 0;            // pause between two writes (so split pieces arrive apart)
    };
    // Writer sends bytes and returns how many it took (0 when the transport is full: the
    // rest is tried again shortly).
    using Writer = std::function<qsizetype(const OutWrite&)>;

    OutputPump(DeviceEngine& Engine, Options Opts, Writer Write, QObject* Parent = nullptr);

    // Call after feeding the engine: sends what may go now and schedules the rest.
    void Kick();

private:
    void Pump();
    void ScheduleIn(int Ms);

    DeviceEngine& m_engine;
    Options m_options;
    Writer m_write;
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_credit = 0; // bytes the line could have carried and has not yet
    qint64 m_lastMs = 0;
    qint64 m_nextWriteAtMs = 0; // earliest time of the next write when GapMs is set
    OutWrite m_pending;         // taken from the engine, not yet accepted by the transport
};
