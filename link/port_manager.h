#pragma once

#include "link/bsport.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <memory>

class QTimer;

// One entry of the port manager's table.
struct TPortEntry {
    TBsPort* Port = nullptr; // owned by the manager
    bool Active = false;     // its line is open and the tick driver services it
};

// Owns eight device links, finds and opens them by serial port name, and drives their
// sessions: a timer in the manager's thread ticks every serviced link (time-outs,
// retransmissions, bit-rate retries) while any of them has a session open, and sleeps while
// none has. Everything runs in the manager's thread.
class TVarnMPComm : public QObject {
    Q_OBJECT
public:
    static constexpr int kPortCount = 8;
    static constexpr int kDefaultTickMs = 20;

    // Makes the transport of one link for one mode (called twice per link at construction).
    // Without a factory the links have no transport: only useful for tests of the table.
    using TransportFactory = std::function<std::unique_ptr<LinkTransport>(TMode Mode)>;

    explicit TVarnMPComm(TransportFactory Factory = {}, QObject* Parent = nullptr);
    // Stops the tick driver, writes the debug files and releases the links.
    ~TVarnMPComm() override;

    TMode Mode() const { return m_mode; }
    void SetMode(TMode Value) { m_mode = Value; }

    const std::array<TPortEntry, kPortCount>& Ports() const { return m_ports; }
    TBsPort* Port(int Index) const;

    // Serial mode only (UDP: -1). The first entry whose name equals Name (upper-cased,
    // blanks trimmed): its index if Active, else -2. No entry of that name: -2 while a free
    // entry could take the name, -1 when all eight are in use.
    int FindPort(const QString& Name) const;
    // Serial mode only (UDP: false). Opens the line of Name: an Active entry of that name
    // stays as it is (reopened if its line was closed); otherwise the inactive entry of that
    // name, or failing that the first inactive entry, takes the name and opens. False when no
    // entry is free or the line does not open (the entry then stays inactive; LastError()).
    bool OpenPort(const QString& Name);
    // Serial mode only. Closes the Active entry of that name; it keeps its name.
    void ClosePort(const QString& Name);
    QString LastError() const { return m_lastError; }

    // The tick driver: a timer in this thread that ticks every serviced link when one of
    // them has something due (TBsPort::MsUntilDue), and sleeps while no session is open.
    // IntervalMs is the least spacing between two passes, so a time-out is seen at most that
    // much after it expired. WorkerRunning: the driver is on (ticking or not at the moment).
    void StartWorker(int IntervalMs = kDefaultTickMs);
    void StopWorker();
    bool WorkerRunning() const;
    // The driver's timer runs: some serviced link had a session open at the last pass.
    bool Ticking() const;
    // One pass of the tick driver: ticks every Active entry and every link in UDP mode.
    void TickAll();
    // Passes the driver has made since it was created (how often it woke).
    int Passes() const { return m_passes; }

    // Folder of the debug files "Debug<n>.log" written at destruction for links with
    // IsDebug set; empty: none are written.
    QString DebugDir;

private:
    int FindEntry(const QString& Name) const;
    void ApplyOpenTimeouts(TBsPort& Link);

    TMode m_mode = tmRS232;
    std::array<TPortEntry, kPortCount> m_ports{};
    QTimer* m_ticker = nullptr;
    bool m_driving = false;
    int m_leastSpacingMs = kDefaultTickMs;
    int m_passes = 0;
    QString m_lastError;
};
