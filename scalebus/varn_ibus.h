#pragma once

// TVarnIBusComm: the scale bus link. Talks to one weighing scale (or, broadcasting, to several)
// over a serial port or UDP: wake the scale and read its information block (Connect), send a
// request and take the 256 data bytes of the answer (Exchange), end the session (Finish).
//
// Strictly one request, one answer, driven from the thread that owns the link (the thread it
// was created in). Every wait runs a local event loop until its answer, its time-out or a
// Cancel arrives, so the owner's other events (a dialog's Cancel button, Ctrl-C notifiers)
// keep being handled while a step runs. Nothing here blocks without processing events and
// nothing polls.
//
// Results are values: the steps return false with Cancelled() set after a failure, a give-up
// or a Cancel.

#include "link/link_transport.h"
#include "scalebus/answer_assembler.h"
#include "scalebus/packet.h"
#include "scalebus/scalebus_types.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>

class QTimer;
class TComm;
class TNMUDP;

namespace scalebus {

// Default UDP port of scales (both ends).
inline constexpr int kScaleUdpPort = 5001;

// Wait results of one request.
enum WaitResult : int {
    kWaitCancelled = -3,
    kWaitTimedOut = -2,
    kWaitNegative = -1, // single-byte answer 0x55
    kWaitPositive = 1,  // single-byte answer 0x02 (or a broadcast's silence)
    kWaitFrame = 2,     // a frame answer is here
};

struct BroadcastEntry {
    std::uint32_t ScaleNo = 0;
    std::uint8_t Status = 0;
};

class TVarnIBusComm : public QObject {
    Q_OBJECT

public:
    explicit TVarnIBusComm(QObject* Owner = nullptr);
    ~TVarnIBusComm() override;

    TVarnIBusComm(const TVarnIBusComm&) = delete;
    TVarnIBusComm& operator=(const TVarnIBusComm&) = delete;

    // --- Steps -------------------------------------------------------------------------
    // tmTCPIP: one echo request to IP (through PingAddress); true if answered.
    // tmRS232: the wake-up handshake (rate stepping, at most 21 attempts of 800 ms; the port
    // ends at BaudRate), then the scale-information read; true only if both succeed. Flag
    // goes into the wake-up packet (byte 14: 0 when true, 1 when false); with Flag set a
    // negative answer (0x55) ends the handshake at once.
    bool Connect(long long ScaleNo, bool Flag);
    // Sends Command, Param (low byte first) and the first 256 bytes of the data area, and
    // waits RetryInterval for the answer, 1 + RetryCount attempts at most. On success the
    // answer's 256 data bytes replace the start of the data area.
    bool Exchange(std::uint8_t Command, std::uint16_t Param);
    // Sends the end-of-session packet (as a serial frame in both modes) up to 3 times, waiting
    // 100 ms each for 0x02. Flag 0: normal end, 1: ended after an error. Always true.
    bool Finish(long long ScaleNo, std::uint8_t Flag);
    // true: tmRS232 opens (or reopens) the serial port CommName; a failure calls OnError with
    // "Error opening NAME!\nplease select other ports." and then rethrows the ECommsError.
    // Clears the trace list. false: tmRS232 closes the port. tmTCPIP opens and closes nothing.
    void SetActive(bool Active);
    // Ends the wait in progress at once; the step then fails. A Cancel between two waits is
    // lost, as each wait starts by clearing the flag.
    void Cancel();

    // --- Properties ----------------------------------------------------------------------
    QString CommName() const { return m_commName; }
    void SetCommName(const QString& Value) { m_commName = Value; }
    // Working rate; the serial component takes it at once.
    TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(TBaudRate Value);
    bool BroadCast() const { return m_broadCast; }
    void SetBroadCast(bool Value) { m_broadCast = Value; }
    TBroadCastScaleType BroadCastScaleType() const { return m_broadCastScaleType; }
    void SetBroadCastScaleType(TBroadCastScaleType Value) { m_broadCastScaleType = Value; }
    int BroadCastInterval() const { return m_broadCastInterval; }
    void SetBroadCastInterval(int Ms) { m_broadCastInterval = Ms; }
    int RetryInterval() const { return m_retryInterval; }
    void SetRetryInterval(int Ms) { m_retryInterval = Ms; }
    TMode Mode() const { return m_mode; }
    void SetMode(TMode Value) { m_mode = Value; }
    // The scale's address; the UDP component sends there.
    QString IP() const { return m_ip; }
    void SetIP(const QString& Value);
    // 0..10; larger values are taken as 10.
    TRetryCount RetryCount() const { return m_retryCount; }
    void SetRetryCount(int Value);
    // When above 0 its low byte replaces Finish's flag.
    std::uint32_t FinishOverride() const { return m_finishOverride; }
    void SetFinishOverride(std::uint32_t Value) { m_finishOverride = Value; }

    // UDP ports (5001 both by default). LocalPort 0 binds any free port, so that several links
    // can run on one machine (tests, a command-line read beside a running program).
    int RemotePort() const;
    void SetRemotePort(int Port);
    int LocalPort() const;
    void SetLocalPort(int Port);
    // The local port the UDP socket is bound to now (0 while unbound).
    int BoundLocalPort() const;

    // --- Working state -------------------------------------------------------------------
    // The data area: 312 bytes, of which the first 256 go out with each request and are
    // replaced by each answer's data.
    std::uint8_t* Data() { return m_data.data(); }
    const std::uint8_t* Data() const { return m_data.data(); }
    void ClearData() { m_data.fill(0); }
    // 64 bytes kept by the last successful Connect over a serial line.
    const std::array<std::uint8_t, kScaleInfoSize>& ScaleInfo() const { return m_scaleInfo; }
    std::array<BroadcastEntry, kBroadcastEntries>& BroadcastList() { return m_broadcastList; }
    bool Cancelled() const { return m_cancel; }
    // Attempts the last Exchange or wake-up handshake made.
    int LastAttempts() const { return m_lastAttempts; }
    // The serial component's current rate in bit/s.
    std::uint32_t SerialRate() const;
    bool PortOpen() const;

    // --- Tracing ---------------------------------------------------------------------------
    // Off from creation. While on, each send, each completed answer and each retry adds text
    // lines to TraceList().
    bool Tracing() const { return m_tracing; }
    void SetTracing(bool On) { m_tracing = On; }
    const QStringList& TraceList() const { return m_trace; }

    // --- Hooks the owner attaches ----------------------------------------------------------
    // The reachability check of Connect in tmTCPIP mode: true when Address answers one echo
    // request. Set by the constructor to the system's echo check; may be replaced.
    std::function<bool(const QString& Address)> PingAddress;
    // Shows an error to the operator (the main window attaches a message box).
    std::function<void(const QString& Text)> OnError;

    // The owned transports, for owners that need their finer settings.
    TComm& Comm() { return *m_comm; }
    TNMUDP& Udp() { return *m_udp; }

private:
    int WaitAnswer(int IntervalMs);
    void WaitUntil(const std::function<bool()>& Done);
    void Recheck();
    bool WakeUp(long long ScaleNo, bool Flag);
    bool ReadScaleInfo();
    void SendFrame(const Packet& P);
    void SendRaw(const std::uint8_t* Bytes, int Length);
    void SendSerial(const std::uint8_t* Bytes, int Length);
    void SendUdp(const std::uint8_t* Bytes, int Length);
    void OnSerialData(const char* Buffer, int Length);
    void OnDatagram(int NumberBytes);
    void TraceBytes(const char* Title, const std::uint8_t* Bytes, int Length);
    void TraceAnswer();

    // Properties.
    QString m_commName;
    TBaudRate m_baudRate = tbr9600;
    bool m_broadCast = false;
    TBroadCastScaleType m_broadCastScaleType = tbs1024;
    int m_broadCastInterval = 200;
    int m_retryInterval = 800;
    TMode m_mode = tmTCPIP;
    QString m_ip;
    TRetryCount m_retryCount = 6;
    std::uint32_t m_finishOverride = 0;

    // Owned parts.
    TComm* m_comm = nullptr;
    TNMUDP* m_udp = nullptr;
    QTimer* m_timer = nullptr;

    // Working state.
    bool m_cancel = false;
    bool m_sendEmpty = true;
    bool m_timedOut = false;
    AnswerAssembler m_receive;
    std::array<std::uint8_t, kDataAreaSize> m_data{};
    std::array<std::uint8_t, kScaleInfoSize> m_scaleInfo{};
    std::array<BroadcastEntry, kBroadcastEntries> m_broadcastList{};
    int m_lastAttempts = 0;
    bool m_tracing = false;
    QStringList m_trace;
    std::function<void()> m_waitCheck; // set while a wait runs its event loop
};

} // namespace scalebus
