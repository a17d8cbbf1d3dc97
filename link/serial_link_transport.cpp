#include "link/serial_link_transport.h"

#include "transport/spcomm.h"

#include <algorithm>

SerialLinkTransport::SerialLinkTransport() : m_comm(std::make_unique<TComm>()) {
    TComm& c = *m_comm;
    c.SetBaudRate(9600);
    c.SetTxContinueOnXoff(false);
    c.SetOutx_XonXoffFlow(false);
    c.SetIgnoreNullChar(false);
    c.SetRtsControl(TRtsControl::RtsEnable);
    c.SetDtrControl(TDtrControl::DtrDisable);
    c.SetByteSize(TByteSize::_8);
    c.SetParity(TParity::None);
    c.SetStopBits(TStopBits::_1);
    c.SetReadIntervalTimeout(1);
    c.OnReceiveData = [this](TComm*, const char* buffer, std::uint16_t length) {
        if (OnBytes && length > 0)
            OnBytes(QByteArray(buffer, length));
    };
    c.OnModemStateChange = [this](TComm*, std::uint32_t event) {
        if (OnModemLines)
            OnModemLines(event);
    };
    c.OnRequestHangup = [this](TComm* comm) {
        m_lastError = comm->HangupReason();
        if (OnHangUp)
            OnHangUp(m_lastError);
    };
}

SerialLinkTransport::~SerialLinkTransport() {
    m_comm->OnReceiveData = nullptr;
    m_comm->OnModemStateChange = nullptr;
    m_comm->OnRequestHangup = nullptr;
}

void SerialLinkTransport::SetEndpoint(const QString& Endpoint) {
    m_comm->SetCommName(Endpoint);
}

QString SerialLinkTransport::Endpoint() const {
    return m_comm->CommName();
}

bool SerialLinkTransport::OpenLine() {
    m_lastError.clear();
    m_comm->ClosePort();
    try {
        m_comm->OpenPort();
    } catch (const ECommsError& e) {
        // The component's own text first (callers compare it), then what the system said.
        m_lastError = QString::fromLatin1(e.what());
        if (!e.Reason().isEmpty())
            m_lastError += QStringLiteral(" (%1)").arg(e.Reason());
        return false;
    }
    return true;
}

void SerialLinkTransport::DiscardInput() {
    m_comm->DiscardInput();
}

void SerialLinkTransport::Close() {
    m_comm->ClosePort();
}

bool SerialLinkTransport::IsOpen() const {
    return m_comm->IsOpen();
}

bool SerialLinkTransport::Write(const QByteArray& Bytes) {
    if (Bytes.isEmpty() || Bytes.size() > 0xFFFF) {
        m_lastError = QStringLiteral("bad write length %1").arg(Bytes.size());
        return false;
    }
    if (!m_comm->WriteData(Bytes.constData(), static_cast<std::uint16_t>(Bytes.size()))) {
        m_lastError = QStringLiteral("port not open");
        return false;
    }
    return true;
}

void SerialLinkTransport::SetBaudRate(int BitsPerSecond) {
    if (BitsPerSecond <= 0)
        return;
    m_bitRate = BitsPerSecond;
    m_comm->SetBaudRate(static_cast<std::uint32_t>(BitsPerSecond));
}

// A packet trickles in at the line's rate; reading it as it comes wakes the program for every
// few bytes. Reads pause until the rest of the frame should be there, rounded up to the next
// millisecond (the timer's step): ending any earlier leaves its last bytes for one more
// wake-up, a packet's worth of them every time.
void SerialLinkTransport::ExpectBytes(int Count) {
    constexpr int kBitsPerByte = 10; // 8N1
    constexpr int kLongestPauseMs = 50;
    const qint64 ms = (qint64(Count) * kBitsPerByte * 1000 + m_bitRate - 1) / m_bitRate;
    if (ms >= 2)
        m_comm->PauseReading(int(std::min<qint64>(ms, kLongestPauseMs)));
}

std::uint32_t SerialLinkTransport::ModemStatus() const {
    return m_comm->ModemStatus().value_or(0);
}
