#include "scalebus/varn_ibus.h"

#include "scalebus/default_ping.h"
#include "transport/nmudp.h"
#include "transport/spcomm.h"

#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace scalebus {

namespace {

constexpr int kWakeUpWaitMs = 800;
constexpr int kWakeUpLastAttempt = 20;
constexpr int kFinishAttempts = 3;
constexpr int kFinishWaitMs = 100;
constexpr int kInfoTextOffset = 16;
constexpr int kInfoValueOffset = 12;
constexpr std::uint16_t kInfoValueWithoutQxt = 360;

} // namespace

TVarnIBusComm::TVarnIBusComm(QObject* Owner) : QObject(Owner) {
    m_comm = new TComm(this);
    m_comm->SetBaudRate(9600);
    m_comm->SetDtrControl(TDtrControl::DtrDisable);
    m_comm->SetTxContinueOnXoff(false);
    m_comm->SetOutx_XonXoffFlow(false);
    m_comm->SetIgnoreNullChar(false);
    m_comm->SetRtsControl(TRtsControl::RtsEnable);
    m_comm->SetByteSize(TByteSize::_8);
    m_comm->SetParity(TParity::None);
    m_comm->SetStopBits(TStopBits::_1);
    m_comm->SetReadIntervalTimeout(1);
    m_comm->OnReceiveData = [this](TComm*, const char* Buffer, std::uint16_t Length) {
        OnSerialData(Buffer, Length);
    };
    m_comm->OnSendDataEmpty = [this](TComm*) {
        m_sendEmpty = true;
        Recheck();
    };
    // A port that failed under a write will never drain what is queued; waiting for that
    // would last until Cancel.
    m_comm->OnRequestHangup = [this](TComm*) {
        m_sendEmpty = true;
        Recheck();
    };

    m_udp = new TNMUDP(this);
    m_udp->SetRemotePort(kScaleUdpPort);
    m_udp->SetLocalPort(kScaleUdpPort);
    m_udp->SetReportLevel(16);
    m_udp->OnDataReceived = [this](TNMUDP*, int NumberBytes, const QString&, int) {
        OnDatagram(NumberBytes);
    };

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        Recheck();
    });

    PingAddress = DefaultPingAddress();
}

TVarnIBusComm::~TVarnIBusComm() {
    // Callbacks of the components must not reach a half-destroyed link.
    m_comm->OnReceiveData = nullptr;
    m_comm->OnSendDataEmpty = nullptr;
    m_comm->OnRequestHangup = nullptr;
    m_udp->OnDataReceived = nullptr;
}

void TVarnIBusComm::SetBaudRate(TBaudRate Value) {
    m_baudRate = Value;
    m_comm->SetBaudRate(BaudRateBits(Value));
}

void TVarnIBusComm::SetIP(const QString& Value) {
    m_ip = Value;
    m_udp->SetRemoteHost(Value);
}

void TVarnIBusComm::SetRetryCount(int Value) {
    m_retryCount = static_cast<TRetryCount>(std::clamp(Value, 0, int(kMaxRetryCount)));
}

int TVarnIBusComm::RemotePort() const {
    return m_udp->RemotePort();
}
void TVarnIBusComm::SetRemotePort(int Port) {
    m_udp->SetRemotePort(Port);
}
int TVarnIBusComm::LocalPort() const {
    return m_udp->LocalPort();
}
void TVarnIBusComm::SetLocalPort(int Port) {
    m_udp->SetLocalPort(Port);
}
int TVarnIBusComm::BoundLocalPort() const {
    return m_udp->BoundPort();
}
std::uint32_t TVarnIBusComm::SerialRate() const {
    return m_comm->BaudRate();
}
bool TVarnIBusComm::PortOpen() const {
    return m_comm->IsOpen();
}

// ---------------------------------------------------------------------------------------
// Waiting

void TVarnIBusComm::Recheck() {
    if (m_waitCheck)
        m_waitCheck();
}

void TVarnIBusComm::WaitUntil(const std::function<bool()>& Done) {
    if (Done())
        return;
    // Every event that can change the condition (receivers, timer, drain, Cancel) calls
    // Recheck, which ends this loop; in between the thread sleeps in the event dispatcher.
    QEventLoop loop;
    auto outer = std::move(m_waitCheck);
    m_waitCheck = [&loop, &Done] {
        if (Done())
            loop.quit();
    };
    loop.exec();
    m_waitCheck = std::move(outer);
}

int TVarnIBusComm::WaitAnswer(int IntervalMs) {
    m_cancel = false;
    m_receive.Begin();
    if (m_mode == tmRS232)
        WaitUntil([this] { return m_sendEmpty || m_cancel; });

    m_timedOut = false;
    m_timer->start(std::max(0, IntervalMs));
    WaitUntil([this] {
        return m_timedOut || m_cancel || m_receive.State() > AnswerAssembler::kArriving;
    });
    m_timer->stop();

    if (m_cancel)
        return kWaitCancelled;
    if (m_receive.State() > AnswerAssembler::kArriving) {
        TraceAnswer();
        if (m_receive.FrameExpected())
            return kWaitFrame;
        return m_receive.AnswerByte() == kAnswerNegative ? kWaitNegative : kWaitPositive;
    }
    // A broadcast wakes scales that never answer one by one: silence is agreement.
    if (m_mode == tmRS232 && m_broadCast)
        return kWaitPositive;
    return kWaitTimedOut;
}

void TVarnIBusComm::Cancel() {
    m_cancel = true;
    Recheck();
}

// ---------------------------------------------------------------------------------------
// Sending and receiving

void TVarnIBusComm::SendSerial(const std::uint8_t* Bytes, int Length) {
    TraceBytes(">>>>>>Send data<<<<<<<<", Bytes, Length);
    m_sendEmpty = false;
    // A closed port queues nothing and will never report a drained queue; the wait then
    // runs into its time-out instead of lasting until Cancel.
    if (!m_comm->WriteData(Bytes, static_cast<std::uint16_t>(Length)))
        m_sendEmpty = true;
}

void TVarnIBusComm::SendUdp(const std::uint8_t* Bytes, int Length) {
    TraceBytes(">>>>>>Send data<<<<<<<<", Bytes, Length);
    std::array<char, kUdpBufferSize> buffer{};
    Length = std::min(Length, kUdpBufferSize);
    std::memcpy(buffer.data(), Bytes, size_t(Length));
    try {
        m_udp->SendDatagram(buffer.data(), Length);
    } catch (const UDPSockError&) {
        // An address that does not resolve: nothing went out, so the wait that follows runs
        // into its time-out and the step fails the ordinary way.
    }
}

void TVarnIBusComm::SendRaw(const std::uint8_t* Bytes, int Length) {
    if (m_mode == tmRS232)
        SendSerial(Bytes, Length);
    else
        SendUdp(Bytes, Length);
}

void TVarnIBusComm::SendFrame(const Packet& P) {
    const SerialFrame frame = EncodeFrame(P);
    SendRaw(frame.data(), kFrameSize);
}

void TVarnIBusComm::OnSerialData(const char* Buffer, int Length) {
    m_receive.FeedSerial(reinterpret_cast<const std::uint8_t*>(Buffer), Length);
    Recheck();
}

void TVarnIBusComm::OnDatagram(int NumberBytes) {
    // The size is checked before anything is copied: a datagram that does not fit the
    // receive buffer is not an answer of this link and is dropped whole.
    if (NumberBytes <= 0 || NumberBytes > kUdpBufferSize)
        return;
    std::array<char, kUdpBufferSize> buffer{};
    const int got = m_udp->ReadDatagram(buffer.data(), kUdpBufferSize);
    if (got <= 0)
        return;
    m_receive.FeedDatagram(reinterpret_cast<const std::uint8_t*>(buffer.data()), got);
    Recheck();
}

// ---------------------------------------------------------------------------------------
// Steps

bool TVarnIBusComm::Exchange(std::uint8_t Command, std::uint16_t Param) {
    const bool serial = m_mode == tmRS232;
    const Packet request = BuildRequest(Command, Param, m_data.data(), serial);
    SerialFrame frame{};
    if (serial)
        frame = EncodeFrame(request);

    m_lastAttempts = 0;
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0 && m_tracing) {
            m_trace.append(QString());
            m_trace.append(QStringLiteral("Retry:%1").arg(attempt));
        }
        ++m_lastAttempts;
        if (serial) {
            m_receive.ExpectFrame(&frame[1]);
            SendSerial(frame.data(), kFrameSize);
        } else {
            m_receive.ExpectFrame(&request[0]);
            SendUdp(request.data(), kPacketSize);
        }
        if (WaitAnswer(m_retryInterval) == kWaitFrame) {
            if (!serial) {
                std::copy_n(m_receive.PacketBytes() + 3, kDataSize, m_data.begin());
                return true;
            }
            const Packet answer = DecodeFrame(m_receive.SerialFrameBytes());
            if (PacketSumMatches(answer)) {
                std::copy_n(answer.begin() + 3, kDataSize, m_data.begin());
                return true;
            }
        }
        if (m_cancel || attempt >= m_retryCount) {
            m_cancel = true;
            return false;
        }
    }
}

bool TVarnIBusComm::WakeUp(long long ScaleNo, bool Flag) {
    WakeUpFields fields;
    fields.ScaleNo = ScaleNo;
    const QDateTime now = QDateTime::currentDateTime();
    fields.Date = now.date();
    fields.Time = now.time();
    fields.RateOrdinal = m_baudRate;
    std::array<std::uint32_t, kBroadcastEntries> list{};
    if (m_broadCast) {
        for (int i = 0; i < kBroadcastEntries; ++i) {
            list[i] = m_broadcastList[i].ScaleNo;
            m_broadcastList[i].Status = 0;
        }
        fields.BroadcastList = list.data();
        fields.Flag14 = m_broadCastScaleType == tbs1024 ? 0x5A : 0xA5;
    } else {
        fields.Flag14 = Flag ? 0 : 1;
    }
    const Packet packet = BuildWakeUpPacket(fields);
    const SerialFrame frame = EncodeFrame(packet);

    m_lastAttempts = 0;
    if (m_broadCast) {
        m_comm->SetBaudRate(BaudRateBits(m_baudRate));
        m_receive.ExpectSingleByte();
        ++m_lastAttempts;
        SendSerial(frame.data(), kFrameSize);
        if (WaitAnswer(m_broadCastInterval) < 0) {
            m_cancel = true;
            return false;
        }
        return true;
    }

    for (int n = 0;; ++n) {
        // A sleeping scale listens at an unknown rate: try them all in turn, 9600 twice first.
        m_comm->SetBaudRate(n == 0 ? 9600u : BaudRateBits((n - 1) % kBaudRateCount));
        m_receive.ExpectSingleByte();
        ++m_lastAttempts;
        SendSerial(frame.data(), kFrameSize);
        const int result = WaitAnswer(kWakeUpWaitMs);
        if (Flag && result == kWaitNegative)
            m_cancel = true;
        if (result == kWaitPositive && !m_cancel) {
            m_comm->SetBaudRate(BaudRateBits(m_baudRate));
            return true;
        }
        if (m_cancel || n >= kWakeUpLastAttempt) {
            m_cancel = true;
            return false;
        }
    }
}

bool TVarnIBusComm::ReadScaleInfo() {
    ClearData();
    m_data[2] = kReadScaleInfo;
    if (!Exchange(kCommandScale, kParamRead))
        return false;
    std::copy_n(m_data.begin(), kScaleInfoSize, m_scaleInfo.begin());
    static const char kQxt[] = "QXT";
    if (std::memcmp(&m_scaleInfo[kInfoTextOffset], kQxt, 3) != 0) {
        m_scaleInfo[kInfoValueOffset] = kInfoValueWithoutQxt & 0xFF;
        m_scaleInfo[kInfoValueOffset + 1] = kInfoValueWithoutQxt >> 8;
    }
    return true;
}

bool TVarnIBusComm::Connect(long long ScaleNo, bool Flag) {
    if (m_mode == tmTCPIP)
        return PingAddress && PingAddress(m_ip);
    if (!WakeUp(ScaleNo, Flag))
        return false;
    return ReadScaleInfo();
}

bool TVarnIBusComm::Finish(long long ScaleNo, std::uint8_t Flag) {
    if (m_finishOverride > 0)
        Flag = static_cast<std::uint8_t>(m_finishOverride & 0xFF);
    const Packet packet = BuildFinishPacket(ScaleNo, Flag);
    for (int i = 0; i < kFinishAttempts; ++i) {
        m_receive.ExpectSingleByte();
        SendFrame(packet);
        if (WaitAnswer(kFinishWaitMs) == kWaitPositive)
            break;
    }
    return true;
}

void TVarnIBusComm::SetActive(bool Active) {
    if (Active) {
        if (m_mode == tmRS232) {
            m_comm->SetCommName(m_commName);
            if (m_comm->IsOpen())
                m_comm->ClosePort();
            try {
                m_comm->OpenPort();
            } catch (const ECommsError&) {
                if (OnError)
                    OnError(QStringLiteral("Error opening %1!\nplease select other ports.")
                                .arg(m_commName));
                throw;
            }
            m_sendEmpty = true;
        }
        m_trace.clear();
    } else if (m_mode == tmRS232) {
        m_comm->ClosePort();
        m_sendEmpty = true;
    }
}

// ---------------------------------------------------------------------------------------
// Tracing

void TVarnIBusComm::TraceBytes(const char* Title, const std::uint8_t* Bytes, int Length) {
    if (!m_tracing)
        return;
    m_trace.append(QLatin1String(Title));
    QString line;
    for (int i = 0; i < Length; ++i) {
        line += QStringLiteral("%1 ").arg(Bytes[i], 2, 16, QLatin1Char('0'));
        if (i % 16 == 15) {
            m_trace.append(line);
            line.clear();
        }
    }
    if (!line.isEmpty())
        m_trace.append(line);
    m_trace.append(QString());
}

void TVarnIBusComm::TraceAnswer() {
    if (!m_tracing)
        return;
    const char* title = ">>>>>>Receive data<<<<<<<<";
    if (!m_receive.FrameExpected()) {
        const std::uint8_t byte = m_receive.AnswerByte();
        TraceBytes(title, &byte, 1);
    } else if (m_mode == tmRS232) {
        TraceBytes(title, m_receive.SerialFrameBytes(), kFrameAnswerSize);
    } else {
        TraceBytes(title, m_receive.PacketBytes(), kPacketSize);
    }
}

} // namespace scalebus
