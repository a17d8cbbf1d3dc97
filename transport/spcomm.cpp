#include "transport/spcomm.h"

#include "transport/serial_low_latency.h"
#include "transport/serial_speed.h"

#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Modem lines and error counters are not signalled by the driver to a non-blocking reader,
// so they are sampled; a ring or carrier change is seen within this period.
constexpr int kLinePollMs = 50;
// After new line settings nothing is sent for this long: the UART and the device on the other
// end settle at the new settings first.
constexpr int kSettleMs = 5;

struct SpeedEntry {
    std::uint32_t Baud;
    speed_t Code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCode(std::uint32_t Baud) {
    for (const auto& e : kSpeeds) {
        if (e.Baud == Baud)
            return e.Code;
    }
    return std::nullopt;
}

std::uint32_t LinesFromTiocm(int Bits) {
    std::uint32_t lines = 0;
    if (Bits & TIOCM_CTS)
        lines |= kModemCtsOn;
    if (Bits & TIOCM_DSR)
        lines |= kModemDsrOn;
    if (Bits & TIOCM_RI)
        lines |= kModemRingOn;
    if (Bits & TIOCM_CD)
        lines |= kModemRlsdOn;
    return lines;
}

std::optional<std::uint32_t> ReadModemLines(int Fd) {
    int bits = 0;
    if (::ioctl(Fd, TIOCMGET, &bits) != 0)
        return std::nullopt;
    return LinesFromTiocm(bits);
}

std::optional<LineErrorCounters> ReadErrorCounters(int Fd) {
    serial_icounter_struct c{};
    if (::ioctl(Fd, TIOCGICOUNT, &c) != 0)
        return std::nullopt;
    LineErrorCounters out;
    out.Frame = c.frame;
    out.Overrun = c.overrun;
    out.Parity = c.parity;
    out.Break = c.brk;
    out.BufferOverrun = c.buf_overrun;
    return out;
}

// A device without modem lines (a pseudo-terminal) refuses these requests; that is expected
// and not an error, so the result is ignored.
void SetModemLine(int Fd, int Line, bool On) {
    ::ioctl(Fd, On ? TIOCMBIS : TIOCMBIC, &Line);
}

int BitsPerCharacter(TByteSize Size, TParity Parity, TStopBits Stop) {
    int bits = 1 + 5 + static_cast<int>(Size);
    if (Parity != TParity::None)
        bits += 1;
    bits += Stop == TStopBits::_1 ? 1 : 2;
    return bits;
}

} // namespace

QString SerialDevicePath(const QString& Name) {
    if (Name.isEmpty())
        return {};
    if (Name.startsWith(QLatin1Char('/')))
        return Name;
    static const QRegularExpression com(QStringLiteral("^COM([0-9]{1,6})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(Name);
    if (m.hasMatch()) {
        const int n = m.captured(1).toInt();
        if (n >= 1)
            return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    }
    return QStringLiteral("/dev/") + Name;
}

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
    m_drainTimer = new QTimer(this);
    m_drainTimer->setSingleShot(true);
    connect(m_drainTimer, &QTimer::timeout, this, &TComm::CheckDrained);
    m_lineTimer = new QTimer(this);
    m_lineTimer->setInterval(kLinePollMs);
    connect(m_lineTimer, &QTimer::timeout, this, &TComm::PollLines);
    m_settleTimer = new QTimer(this);
    m_settleTimer->setSingleShot(true);
    m_settleTimer->setTimerType(Qt::PreciseTimer);
    connect(m_settleTimer, &QTimer::timeout, this, [this] {
        if (m_writeNotifier && m_burstPending)
            m_writeNotifier->setEnabled(true);
    });
    m_readPause = new QTimer(this);
    m_readPause->setSingleShot(true);
    m_readPause->setTimerType(Qt::PreciseTimer);
    connect(m_readPause, &QTimer::timeout, this, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(true);
    });
}

void TComm::PauseReading(int Ms) {
    if (!m_readNotifier || Ms <= 0)
        return;
    m_readNotifier->setEnabled(false);
    m_readPause->start(Ms);
}

TComm::~TComm() {
    ClosePort();
}

void TComm::DiscardInput() {
    if (m_fd >= 0)
        ::tcflush(m_fd, TCIFLUSH);
}

void TComm::OpenPort() {
    if (m_fd >= 0)
        return;
    const QString path = SerialDevicePath(m_commName);
    if (path.isEmpty()) {
        throw ECommsError(kCommErrorOpen,
                          QStringLiteral("%1: not a serial port name").arg(m_commName));
    }
    const auto systemReason = [&path](int Error) {
        return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(Error)));
    };
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw ECommsError(kCommErrorOpen, systemReason(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw ECommsError(kCommErrorOpen, systemReason(error));
    }
    if (!S_ISCHR(st.st_mode) || !::isatty(fd)) {
        ::close(fd);
        throw ECommsError(kCommErrorNotCommHandle,
                          QStringLiteral("%1: not a terminal device").arg(path));
    }
    // Exclusive use among everything that honours the lock (every TComm of any process). The
    // lock is advisory on purpose: a test or simulator may still peek at the line settings.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        throw ECommsError(kCommErrorOpen,
                          error == EWOULDBLOCK
                              ? QStringLiteral("%1: in use by another program").arg(path)
                              : systemReason(error));
    }

    m_fd = fd;
    RequestSerialLowLatency(m_fd);
    m_openPath = path;
    ++m_generation;
    m_hungUp = false;
    ::tcflush(m_fd, TCIOFLUSH);
    m_writeQueue.clear();
    m_writeOffset = 0;
    m_sendDataEmpty = true;
    ApplyLineSettings();

    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TComm::OnReadable);
    // The first time the (empty) transmit side is found writable it reports "drained": the
    // owner gets one OnSendDataEmpty after every open.
    m_burstPending = true;
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TComm::OnWritable);
    m_writeNotifier->setEnabled(!m_settleTimer->isActive());

    m_lastLines = ReadModemLines(m_fd);
    m_lastCounters = ReadErrorCounters(m_fd);
    if (m_lastLines || m_lastCounters)
        m_lineTimer->start();
}

void TComm::StopWatching() {
    // Deleting a notifier from inside its own activation is safe in Qt; it must go before
    // the descriptor is closed so that the event loop never polls a stale descriptor.
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_drainTimer->stop();
    m_lineTimer->stop();
    m_settleTimer->stop();
    m_readPause->stop();
}

void TComm::ClosePort() {
    if (m_fd < 0)
        return;
    ++m_generation;
    StopWatching();
    // Requests not yet handed to the driver are dropped, and so is what the driver still
    // holds in either direction; no OnSendDataEmpty follows for them.
    m_writeQueue.clear();
    m_writeOffset = 0;
    ::tcflush(m_fd, TCIOFLUSH);
    RestoreSerialLatency(m_fd);
    ::close(m_fd);
    m_fd = -1;
    m_openPath.clear();
    m_sendDataEmpty = true;
    m_burstPending = false;
    m_hungUp = false;
    m_lastLines.reset();
    m_lastCounters.reset();
}

bool TComm::WriteData(const void* Buffer, std::uint16_t Length) {
    if (m_fd < 0 || m_hungUp || Buffer == nullptr || Length == 0)
        return false;
    m_writeQueue.emplace_back(static_cast<const char*>(Buffer), qsizetype(Length));
    m_sendDataEmpty = false;
    m_burstPending = true;
    m_drainTimer->stop();
    if (!m_settleTimer->isActive())
        m_writeNotifier->setEnabled(true);
    return true;
}

std::optional<std::uint32_t> TComm::ModemStatus() const {
    if (m_fd < 0)
        return std::nullopt;
    return ReadModemLines(m_fd);
}

void TComm::OnReadable() {
    char buffer[kCommReadChunk];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        RequestHangup();
        return;
    }
    if (n == 0) {
        // With VMIN 1 a terminal only reads 0 bytes once it has been hung up.
        RequestHangup();
        return;
    }
    qsizetype count = n;
    if (m_ignoreNullChar) {
        char* end = std::remove(buffer, buffer + count, '\0');
        count = end - buffer;
        if (count == 0)
            return;
    }
    // The handler may close or even release the component (hence the copy of the handler);
    // nothing here runs after it.
    if (const TReceiveDataEvent handler = OnReceiveData)
        handler(this, buffer, static_cast<std::uint16_t>(count));
}

void TComm::OnWritable() {
    while (!m_writeQueue.empty()) {
        const QByteArray& front = m_writeQueue.front();
        const ssize_t n =
            ::write(m_fd, front.constData() + m_writeOffset, size_t(front.size() - m_writeOffset));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return; // the notifier stays armed
            RequestHangup();
            return;
        }
        m_writeOffset += n;
        if (m_writeOffset == front.size()) {
            m_writeQueue.pop_front();
            m_writeOffset = 0;
        }
    }
    m_writeNotifier->setEnabled(false);
    CheckDrained();
}

void TComm::CheckDrained() {
    if (m_fd < 0 || !m_writeQueue.empty())
        return;
    int pending = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &pending) != 0)
        pending = 0;
    if (pending > 0) {
        // Look again about when the driver should have sent what it holds.
        const int bits = BitsPerCharacter(m_byteSize, m_parity, m_stopBits);
        const std::uint32_t baud = m_baudRate ? m_baudRate : 9600;
        const qint64 ms = qint64(pending) * bits * 1000 / baud + 1;
        m_drainTimer->start(int(std::clamp<qint64>(ms, 1, 1000)));
        return;
    }
    m_sendDataEmpty = true;
    if (!m_burstPending)
        return;
    m_burstPending = false;
    if (const TSendDataEmptyEvent handler = OnSendDataEmpty)
        handler(this);
}

void TComm::PollLines() {
    if (m_fd < 0)
        return;
    const std::uint64_t generation = m_generation;
    QPointer<TComm> self(this);

    std::uint32_t errors = 0;
    if (m_lastCounters) {
        if (const auto now = ReadErrorCounters(m_fd)) {
            errors = LineErrorsFromCounters(*m_lastCounters, *now);
            m_lastCounters = now;
        }
    }
    std::uint32_t modemEvent = 0;
    if (m_lastLines) {
        if (const auto now = ReadModemLines(m_fd)) {
            modemEvent = ModemEventFromLines(*m_lastLines, *now);
            m_lastLines = now;
        }
    }
    if (const TReceiveErrorEvent handler = OnReceiveError; errors != 0 && handler) {
        handler(this, errors);
        if (!self || generation != m_generation)
            return;
    }
    if (const TModemStateChangeEvent handler = OnModemStateChange; modemEvent != 0 && handler)
        handler(this, modemEvent);
}

void TComm::RequestHangup() {
    // Watching ends; the port stays open until the owner closes it.
    m_hungUp = true;
    StopWatching();
    if (const TNotifyEvent handler = OnRequestHangup)
        handler(this);
}

void TComm::ApplyLineSettings() {
    termios t{};
    if (::tcgetattr(m_fd, &t) != 0)
        return;

    // Binary mode: no line editing, echo, signals or character translation of any kind.
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY |
                           IMAXBEL | IUCLC | IXON | IXOFF | INPCK | IGNPAR);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    if (m_parityCheck)
        t.c_iflag |= INPCK;
    if (m_outxXonXoffFlow)
        t.c_iflag |= IXON;
    if (m_inxXonXoffFlow)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(m_xonChar);
    t.c_cc[VSTOP] = cc_t(m_xoffChar);

    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[static_cast<int>(m_byteSize)];
    switch (m_parity) {
    case TParity::None:
        break;
    case TParity::Odd:
        t.c_cflag |= PARENB | PARODD;
        break;
    case TParity::Even:
        t.c_cflag |= PARENB;
        break;
    case TParity::Mark:
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case TParity::Space:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    }
    // One and a half stop bits exist only with 5 data bits, where the UART makes them of the
    // two-stop-bit setting.
    if (m_stopBits != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    if (m_outxCtsFlow || m_rtsControl == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;

    const auto code = SpeedCode(m_baudRate);
    if (code) {
        ::cfsetispeed(&t, *code);
        ::cfsetospeed(&t, *code);
    }
    ::tcsetattr(m_fd, TCSANOW, &t);
    if (!code && m_baudRate != 0)
        SetArbitraryLineSpeed(m_fd, m_baudRate);

    // DTR and RTS are held as asked; handshake modes start with the line on and leave the rest
    // to the driver's hardware flow control.
    SetModemLine(m_fd, TIOCM_DTR, m_dtrControl != TDtrControl::DtrDisable);
    SetModemLine(m_fd, TIOCM_RTS, m_rtsControl != TRtsControl::RtsDisable);

    // Writes wait until the line has settled; the wait is a timer, the thread goes on.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_settleTimer->start(kSettleMs);
}

template <typename T> void TComm::SetLineSetting(T& Field, const T& Value) {
    if (Field == Value)
        return;
    Field = Value;
    if (m_fd >= 0)
        ApplyLineSettings();
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
    SetLineSetting(m_baudRate, Value);
}
void TComm::SetParityCheck(bool Value) {
    SetLineSetting(m_parityCheck, Value);
}
void TComm::SetOutx_CtsFlow(bool Value) {
    SetLineSetting(m_outxCtsFlow, Value);
}
void TComm::SetOutx_DsrFlow(bool Value) {
    SetLineSetting(m_outxDsrFlow, Value);
}
void TComm::SetDtrControl(TDtrControl Value) {
    SetLineSetting(m_dtrControl, Value);
}
void TComm::SetDsrSensitivity(bool Value) {
    SetLineSetting(m_dsrSensitivity, Value);
}
void TComm::SetTxContinueOnXoff(bool Value) {
    SetLineSetting(m_txContinueOnXoff, Value);
}
void TComm::SetOutx_XonXoffFlow(bool Value) {
    SetLineSetting(m_outxXonXoffFlow, Value);
}
void TComm::SetInx_XonXoffFlow(bool Value) {
    SetLineSetting(m_inxXonXoffFlow, Value);
}
void TComm::SetReplaceWhenParityError(bool Value) {
    SetLineSetting(m_replaceWhenParityError, Value);
}
void TComm::SetIgnoreNullChar(bool Value) {
    SetLineSetting(m_ignoreNullChar, Value);
}
void TComm::SetRtsControl(TRtsControl Value) {
    SetLineSetting(m_rtsControl, Value);
}
void TComm::SetXonLimit(std::uint16_t Value) {
    SetLineSetting(m_xonLimit, Value);
}
void TComm::SetXoffLimit(std::uint16_t Value) {
    SetLineSetting(m_xoffLimit, Value);
}
void TComm::SetByteSize(TByteSize Value) {
    SetLineSetting(m_byteSize, Value);
}
void TComm::SetParity(TParity Value) {
    SetLineSetting(m_parity, Value);
}
void TComm::SetStopBits(TStopBits Value) {
    SetLineSetting(m_stopBits, Value);
}
void TComm::SetXonChar(char Value) {
    SetLineSetting(m_xonChar, Value);
}
void TComm::SetXoffChar(char Value) {
    SetLineSetting(m_xoffChar, Value);
}
void TComm::SetReplacedChar(char Value) {
    SetLineSetting(m_replacedChar, Value);
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
