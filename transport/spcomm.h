#pragma once

// TComm: one serial port, opened by name, driven without blocking from the event loop of the
// thread that owns the component. Received bytes, line errors, modem-line changes, hang-up
// requests and "transmit queue drained" reach the owner as OnXxx callbacks, always in the
// owner's thread and only while that thread processes events.
//
// Threading: every member must be called from the thread that owns the component (the thread
// it was created in, or the one it was moved to). There are no internal threads; the port is
// watched from that thread's event loop.
//
// The device itself is driven by a platform back-end (transport/serial_backend.h) that this
// header does not show, so nothing of the operating system's interface reaches the owners.

#include "transport/serial_line_settings.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

class SerialBackend;

// Raised by TComm::OpenPort. what() is exactly one of the texts below; Reason() says what the
// system reported ("/dev/ttyUSB0: Permission denied"), so an operator can tell a missing
// adapter from a missing dialout membership or a port another program holds. May be empty.
class ECommsError : public std::runtime_error {
public:
    explicit ECommsError(const char* Text, QString Reason = {})
        : std::runtime_error(Text), m_reason(std::move(Reason)) {}
    const QString& Reason() const { return m_reason; }

private:
    QString m_reason;
};

// The texts an open can fail with. The owner may compare against them; the trailing blank of
// kCommErrorNotCommHandle is part of the text.
inline constexpr const char* kCommErrorOpen = "Error opening serial port";
inline constexpr const char* kCommErrorNotCommHandle = "File handle is not a comm handle ";

// Modem status bits as ModemStatus() returns them (the values Windows uses).
inline constexpr std::uint32_t kModemCtsOn = 0x10;
inline constexpr std::uint32_t kModemDsrOn = 0x20;
inline constexpr std::uint32_t kModemRingOn = 0x40;
inline constexpr std::uint32_t kModemRlsdOn = 0x80;

// Values OnModemStateChange reports (both may be set: 12).
inline constexpr std::uint32_t kModemEventRing = 4;
inline constexpr std::uint32_t kModemEventCarrier = 8;

// Error flags OnReceiveError reports (the Windows CE_ values).
inline constexpr std::uint32_t kLineErrorRxOver = 0x0001;  // input buffer overflow
inline constexpr std::uint32_t kLineErrorOverrun = 0x0002; // hardware overrun
inline constexpr std::uint32_t kLineErrorParity = 0x0004;
inline constexpr std::uint32_t kLineErrorFrame = 0x0008;
inline constexpr std::uint32_t kLineErrorBreak = 0x0010;

// Each OnReceiveData chunk carries at most this many bytes.
inline constexpr int kCommReadChunk = 2048;

// Maps a port name to the device path it opens on this system:
//   a path (starts with "/")  -> used as it is;
//   "COMn" (n >= 1, any case) -> /dev/ttyS{n-1};
//   any other non-empty name  -> /dev/NAME (ttyUSB0, ttyACM0, pts/3 ...).
// The empty name maps to an empty path, which no open accepts. Defined by the platform's
// back-end, since the naming of devices is the platform's.
QString SerialDevicePath(const QString& Name);

// Pure helpers behind the line watcher, exposed so their rules can be checked directly.
// Modem lines are given as kModemXxx bits.
// Carrier change -> kModemEventCarrier; a ring indicator that comes on -> kModemEventRing.
std::uint32_t ModemEventFromLines(std::uint32_t OldLines, std::uint32_t NewLines);

// Line error counters of the driver (subset of the kernel's serial_icounter_struct).
struct LineErrorCounters {
    int Frame = 0;
    int Overrun = 0;
    int Parity = 0;
    int Break = 0;
    int BufferOverrun = 0;
    bool operator==(const LineErrorCounters&) const = default;
};
// The kLineErrorXxx flags for the counters that grew between two readings.
std::uint32_t LineErrorsFromCounters(const LineErrorCounters& Old, const LineErrorCounters& New);

class TComm : public QObject {
    Q_OBJECT

public:
    using TReceiveDataEvent =
        std::function<void(TComm* Sender, const char* Buffer, std::uint16_t BufferLength)>;
    using TReceiveErrorEvent = std::function<void(TComm* Sender, std::uint32_t EventMask)>;
    using TModemStateChangeEvent = std::function<void(TComm* Sender, std::uint32_t ModemEvent)>;
    using TSendDataEmptyEvent = std::function<void(TComm* Sender)>;
    using TNotifyEvent = std::function<void(TComm* Sender)>;

    // Bytes have arrived: 1..2048 bytes, in order. Buffer is valid only during the call.
    TReceiveDataEvent OnReceiveData;
    // The driver counted line errors (parity, framing, overrun, break) since the last check;
    // EventMask holds kLineErrorXxx flags. Sampled every 50 ms on devices that keep such
    // counters; a pseudo-terminal never reports any.
    TReceiveErrorEvent OnReceiveError;
    // Carrier detect changed (8) and/or a ring came in (4). CTS/DSR changes alone raise nothing.
    // Modem lines are sampled every 50 ms on devices that have them.
    TModemStateChangeEvent OnModemStateChange;
    // Reading or writing the port failed unexpectedly (e.g. the device went away). Watching
    // stops but the port stays open; the owner decides whether to close it. HangupReason()
    // says why.
    TNotifyEvent OnRequestHangup;
    // Everything queued by WriteData has left the driver's output queue. Raised once after
    // every open and once per drained burst; never for writes discarded by ClosePort.
    TSendDataEmptyEvent OnSendDataEmpty;

    explicit TComm(QObject* Owner = nullptr);
    // Closes the port if it is open; nothing of the component outlives it.
    ~TComm() override;

    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    // Opens CommName (mapped by SerialDevicePath), makes it exclusive among cooperating
    // openers (advisory lock), purges both directions and applies time-outs and line settings.
    // Does nothing when already open. Throws ECommsError:
    //   "Error opening serial port"         - missing device, no permission, held by another
    //                                         TComm or lock holder, not openable;
    //   "File handle is not a comm handle " - the name opens something that is not a terminal
    //                                         (an ordinary file, /dev/null ...).
    // After a failure the component is closed and can be opened again.
    // DTR/RTS requests a device refuses (a pseudo-terminal answers ENOTTY) are not failures.
    void OpenPort();
    // Stops watching, discards queued writes and unread input, and closes the device. Does
    // nothing when closed. Safe to call from inside any OnXxx callback.
    void ClosePort();
    // Drops the bytes received but not read yet (the driver's input queue). Does nothing when
    // closed.
    void DiscardInput();
    // Received bytes stay with the driver for Ms milliseconds and are then read together
    // (a frame's rest gathers instead of waking the reader byte by byte).
    void PauseReading(int Ms);
    // Queues a private copy of Length bytes; they are sent whole and in the order queued, and
    // Buffer may be reused at once. False when the port is closed, Length is 0 or Buffer null.
    bool WriteData(const void* Buffer, std::uint16_t Length);

    bool IsOpen() const;
    // The modem lines as kModemXxx bits (CTS 0x10, DSR 0x20, RING 0x40, RLSD 0x80); nothing
    // when the port is closed or the device has no modem lines (a pseudo-terminal).
    std::optional<std::uint32_t> ModemStatus() const;
    // True when nothing queued by WriteData is still waiting to be sent.
    bool SendDataEmpty() const { return m_sendDataEmpty; }
    // The device path the port was opened with (empty while closed).
    QString DevicePath() const { return m_openPath; }
    // Why the line was last hung up, in the system's words ("Input/output error"); empty
    // until the first hang-up.
    QString HangupReason() const { return m_hangupReason; }

    // Published settings. A line-setting setter stores only a changed value and, while the
    // port is open, re-applies the whole line state at once (then pauses 5 ms so the line
    // settles). What reaches the driver: BaudRate (any rate; rates without a classic constant
    // through termios2), ByteSize, Parity, StopBits (1.5 is the two-stop-bit setting),
    // ParityCheck, output/input XON/XOFF with XonChar/XoffChar, hardware flow (Outx_CtsFlow
    // or RtsHandshake), DTR and RTS held on or off. IgnoreNullChar drops NUL bytes from what
    // is delivered. Linux terminals have no counterpart for Outx_DsrFlow, DsrSensitivity,
    // TxContinueOnXoff, XonLimit/XoffLimit, ReplaceWhenParityError/ReplacedChar, DTR handshake
    // or RTS-while-transmitting; those are kept but change nothing (the handshake modes hold
    // the line on). The five time-outs are kept for the owner only: received bytes are handed
    // on as soon as the driver has them (at most 2048 at a time) and writes never time out,
    // which is what the owners' values (1 ms interval, no totals) ask for.
    QString CommName() const { return m_commName; }
    void SetCommName(const QString& Value);
    std::uint32_t BaudRate() const { return m_line.BaudRate; }
    void SetBaudRate(std::uint32_t Value);
    bool ParityCheck() const { return m_line.ParityCheck; }
    void SetParityCheck(bool Value);
    bool Outx_CtsFlow() const { return m_line.Outx_CtsFlow; }
    void SetOutx_CtsFlow(bool Value);
    bool Outx_DsrFlow() const { return m_line.Outx_DsrFlow; }
    void SetOutx_DsrFlow(bool Value);
    TDtrControl DtrControl() const { return m_line.DtrControl; }
    void SetDtrControl(TDtrControl Value);
    bool DsrSensitivity() const { return m_line.DsrSensitivity; }
    void SetDsrSensitivity(bool Value);
    bool TxContinueOnXoff() const { return m_line.TxContinueOnXoff; }
    void SetTxContinueOnXoff(bool Value);
    bool Outx_XonXoffFlow() const { return m_line.Outx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool Value);
    bool Inx_XonXoffFlow() const { return m_line.Inx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool Value);
    bool ReplaceWhenParityError() const { return m_line.ReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool Value);
    bool IgnoreNullChar() const { return m_line.IgnoreNullChar; }
    void SetIgnoreNullChar(bool Value);
    TRtsControl RtsControl() const { return m_line.RtsControl; }
    void SetRtsControl(TRtsControl Value);
    std::uint16_t XonLimit() const { return m_line.XonLimit; }
    void SetXonLimit(std::uint16_t Value);
    std::uint16_t XoffLimit() const { return m_line.XoffLimit; }
    void SetXoffLimit(std::uint16_t Value);
    TByteSize ByteSize() const { return m_line.ByteSize; }
    void SetByteSize(TByteSize Value);
    TParity Parity() const { return m_line.Parity; }
    void SetParity(TParity Value);
    TStopBits StopBits() const { return m_line.StopBits; }
    void SetStopBits(TStopBits Value);
    char XonChar() const { return m_line.XonChar; }
    void SetXonChar(char Value);
    char XoffChar() const { return m_line.XoffChar; }
    void SetXoffChar(char Value);
    char ReplacedChar() const { return m_line.ReplacedChar; }
    void SetReplacedChar(char Value);
    std::uint32_t ReadIntervalTimeout() const { return m_readIntervalTimeout; }
    void SetReadIntervalTimeout(std::uint32_t Value);
    std::uint32_t ReadTotalTimeoutMultiplier() const { return m_readTotalTimeoutMultiplier; }
    void SetReadTotalTimeoutMultiplier(std::uint32_t Value);
    std::uint32_t ReadTotalTimeoutConstant() const { return m_readTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(std::uint32_t Value);
    std::uint32_t WriteTotalTimeoutMultiplier() const { return m_writeTotalTimeoutMultiplier; }
    void SetWriteTotalTimeoutMultiplier(std::uint32_t Value);
    std::uint32_t WriteTotalTimeoutConstant() const { return m_writeTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(std::uint32_t Value);

private:
    template <typename T> void SetLineSetting(T& Field, const T& Value);
    template <typename T> void SetTimeoutSetting(T& Field, const T& Value);
    void ReceiveBytes(const char* Data, int Count);
    void ReportLineChanges(std::uint32_t LineErrors, std::uint32_t ModemEvent);
    void ReportHangup(const QString& Reason);
    void ReportDrained();

    QString m_commName = QStringLiteral("COM2");
    SerialLineSettings m_line;
    std::uint32_t m_readIntervalTimeout = 100;
    std::uint32_t m_readTotalTimeoutMultiplier = 0;
    std::uint32_t m_readTotalTimeoutConstant = 0;
    std::uint32_t m_writeTotalTimeoutMultiplier = 0;
    std::uint32_t m_writeTotalTimeoutConstant = 0;

    std::unique_ptr<SerialBackend> m_backend;
    QString m_openPath;
    QString m_hangupReason;
    // Bumped by every open and close so that a report meant for an earlier opening stops.
    std::uint64_t m_generation = 0;
    bool m_sendDataEmpty = true;
};
