#include "transport/spcomm.h"

#include "transport/serial_backend.h"

#include <QPointer>

std::uint32_t ModemEventFromLines(std::uint32_t OldLines, std::uint32_t NewLines) {
    std::uint32_t event = 0;
    if ((OldLines ^ NewLines) & kModemRlsdOn)
        event |= kModemEventCarrier;
    if ((NewLines & kModemRingOn) && !(OldLines & kModemRingOn))
        event |= kModemEventRing;
    return event;
}

std::uint32_t LineErrorsFromCounters(const LineErrorCounters& Old, const LineErrorCounters& New) {
    std::uint32_t flags = 0;
    if (New.BufferOverrun != Old.BufferOverrun)
        flags |= kLineErrorRxOver;
    if (New.Overrun != Old.Overrun)
        flags |= kLineErrorOverrun;
    if (New.Parity != Old.Parity)
        flags |= kLineErrorParity;
    if (New.Frame != Old.Frame)
        flags |= kLineErrorFrame;
    if (New.Break != Old.Break)
        flags |= kLineErrorBreak;
    return flags;
}

TComm::TComm(QObject* Owner) : QObject(Owner) {
    SerialBackendEvents events;
    events.Bytes = [this](const char* Data, int Count) { ReceiveBytes(Data, Count); };
    events.LinesChanged = [this](std::uint32_t LineErrors, std::uint32_t ModemEvent) {
        ReportLineChanges(LineErrors, ModemEvent);
    };
    events.Hangup = [this](const QString& Reason) { ReportHangup(Reason); };
    events.Drained = [this] { ReportDrained(); };
    m_backend = CreateSerialBackend(this, std::move(events));
}

TComm::~TComm() {
    ClosePort();
}

bool TComm::IsOpen() const {
    return m_backend->IsOpen();
}

void TComm::OpenPort() {
    if (IsOpen())
        return;
    const QString path = SerialDevicePath(m_commName);
    if (path.isEmpty()) {
        throw ECommsError(kCommErrorOpen,
                          QStringLiteral("%1: not a serial port name").arg(m_commName));
    }
    m_backend->Open(path, m_line);
    m_openPath = path;
    ++m_generation;
    m_sendDataEmpty = true;
}

void TComm::ClosePort() {
    if (!IsOpen())
        return;
    ++m_generation;
    m_backend->Close();
    m_openPath.clear();
    m_sendDataEmpty = true;
}

void TComm::DiscardInput() {
    m_backend->DiscardInput();
}

void TComm::PauseReading(int Ms) {
    m_backend->PauseReading(Ms);
}

bool TComm::WriteData(const void* Buffer, std::uint16_t Length) {
    if (Buffer == nullptr || Length == 0)
        return false;
    if (!m_backend->Write(static_cast<const char*>(Buffer), Length))
        return false;
    m_sendDataEmpty = false;
    return true;
}

std::optional<std::uint32_t> TComm::ModemStatus() const {
    return m_backend->ModemStatus();
}

// The handlers below may close or even release the component (hence the copies of the
// handlers); nothing here runs after them.

void TComm::ReceiveBytes(const char* Data, int Count) {
    if (const TReceiveDataEvent handler = OnReceiveData)
        handler(this, Data, static_cast<std::uint16_t>(Count));
}

void TComm::ReportLineChanges(std::uint32_t LineErrors, std::uint32_t ModemEvent) {
    const std::uint64_t generation = m_generation;
    QPointer<TComm> self(this);
    if (const TReceiveErrorEvent handler = OnReceiveError; LineErrors != 0 && handler) {
        handler(this, LineErrors);
        if (!self || generation != m_generation)
            return;
    }
    if (const TModemStateChangeEvent handler = OnModemStateChange; ModemEvent != 0 && handler)
        handler(this, ModemEvent);
}

void TComm::ReportHangup(const QString& Reason) {
    // Watching has ended; the port stays open until the owner closes it.
    m_hangupReason = Reason;
    if (const TNotifyEvent handler = OnRequestHangup)
        handler(this);
}

void TComm::ReportDrained() {
    m_sendDataEmpty = true;
    if (const TSendDataEmptyEvent handler = OnSendDataEmpty)
        handler(this);
}

template <typename T> void TComm::SetLineSetting(T& Field, const T& Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (IsOpen())
        m_backend->ApplyLineSettings(m_line);
}

template <typename T> void TComm::SetTimeoutSetting(T& Field, const T& Value) {
    // Stored for the owner only: reads hand over bytes as soon as the driver has them (at
    // most kCommReadChunk at a time) and writes never time out, which is what the owners'
    // settings (1 ms interval, no totals) ask for anyway.
    Field = Value;
}

void TComm::SetCommName(const QString& Value) {
    // Takes effect at the next open; the owner re-opens under a new name by closing first.
    m_commName = Value;
}

void TComm::SetBaudRate(std::uint32_t Value) {
    SetLineSetting(m_line.BaudRate, Value);
}
void TComm::SetParityCheck(bool Value) {
    SetLineSetting(m_line.ParityCheck, Value);
}
void TComm::SetOutx_CtsFlow(bool Value) {
    SetLineSetting(m_line.Outx_CtsFlow, Value);
}
void TComm::SetOutx_DsrFlow(bool Value) {
    SetLineSetting(m_line.Outx_DsrFlow, Value);
}
void TComm::SetDtrControl(TDtrControl Value) {
    SetLineSetting(m_line.DtrControl, Value);
}
void TComm::SetDsrSensitivity(bool Value) {
    SetLineSetting(m_line.DsrSensitivity, Value);
}
void TComm::SetTxContinueOnXoff(bool Value) {
    SetLineSetting(m_line.TxContinueOnXoff, Value);
}
void TComm::SetOutx_XonXoffFlow(bool Value) {
    SetLineSetting(m_line.Outx_XonXoffFlow, Value);
}
void TComm::SetInx_XonXoffFlow(bool Value) {
    SetLineSetting(m_line.Inx_XonXoffFlow, Value);
}
void TComm::SetReplaceWhenParityError(bool Value) {
    SetLineSetting(m_line.ReplaceWhenParityError, Value);
}
void TComm::SetIgnoreNullChar(bool Value) {
    SetLineSetting(m_line.IgnoreNullChar, Value);
}
void TComm::SetRtsControl(TRtsControl Value) {
    SetLineSetting(m_line.RtsControl, Value);
}
void TComm::SetXonLimit(std::uint16_t Value) {
    SetLineSetting(m_line.XonLimit, Value);
}
void TComm::SetXoffLimit(std::uint16_t Value) {
    SetLineSetting(m_line.XoffLimit, Value);
}
void TComm::SetByteSize(TByteSize Value) {
    SetLineSetting(m_line.ByteSize, Value);
}
void TComm::SetParity(TParity Value) {
    SetLineSetting(m_line.Parity, Value);
}
void TComm::SetStopBits(TStopBits Value) {
    SetLineSetting(m_line.StopBits, Value);
}
void TComm::SetXonChar(char Value) {
    SetLineSetting(m_line.XonChar, Value);
}
void TComm::SetXoffChar(char Value) {
    SetLineSetting(m_line.XoffChar, Value);
}
void TComm::SetReplacedChar(char Value) {
    SetLineSetting(m_line.ReplacedChar, Value);
}
void TComm::SetReadIntervalTimeout(std::uint32_t Value) {
    SetTimeoutSetting(m_readIntervalTimeout, Value);
}
void TComm::SetReadTotalTimeoutMultiplier(std::uint32_t Value) {
    SetTimeoutSetting(m_readTotalTimeoutMultiplier, Value);
}
void TComm::SetReadTotalTimeoutConstant(std::uint32_t Value) {
    SetTimeoutSetting(m_readTotalTimeoutConstant, Value);
}
void TComm::SetWriteTotalTimeoutMultiplier(std::uint32_t Value) {
    SetTimeoutSetting(m_writeTotalTimeoutMultiplier, Value);
}
void TComm::SetWriteTotalTimeoutConstant(std::uint32_t Value) {
    SetTimeoutSetting(m_writeTotalTimeoutConstant, Value);
}
