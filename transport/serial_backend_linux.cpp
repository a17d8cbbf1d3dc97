// The serial back-end of Linux: a non-blocking terminal descriptor watched by socket notifiers
// of the owner's event loop, line settings through termios (termios2 for other rates), modem
// lines and error counters sampled by a timer, and the low-latency request of USB adapters.

#include "transport/serial_backend.h"
#include "transport/serial_low_latency.h"
#include "transport/serial_speed.h"
#include "transport/spcomm.h"

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

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

QString ErrorText(int Error) {
    return QString::fromLocal8Bit(std::strerror(Error));
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

// Opens Path for TComm's exclusive use, or throws what TComm::OpenPort promises.
int OpenTerminal(const QString& Path) {
    const auto systemReason = [&Path](int Error) {
        return QStringLiteral("%1: %2").arg(Path, ErrorText(Error));
    };
    const QByteArray native = QFile::encodeName(Path);
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
                          QStringLiteral("%1: not a terminal device").arg(Path));
    }
    // Exclusive use among everything that honours the lock (every TComm of any process). The
    // lock is advisory on purpose: a test or simulator may still peek at the line settings.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        throw ECommsError(kCommErrorOpen,
                          error == EWOULDBLOCK
                              ? QStringLiteral("%1: in use by another program").arg(Path)
                              : systemReason(error));
    }
    return fd;
}

class LinuxSerialBackend final : public SerialBackend {
public:
    LinuxSerialBackend(QObject* Context, SerialBackendEvents Events);
    ~LinuxSerialBackend() override;

    void Open(const QString& Path, const SerialLineSettings& Line) override;
    void Close() override;
    bool IsOpen() const override { return m_fd >= 0; }
    void ApplyLineSettings(const SerialLineSettings& Line) override;
    void DiscardInput() override;
    void PauseReading(int Ms) override;
    bool Write(const char* Data, int Count) override;
    // Writes what the queue holds until the driver takes no more. A failing write ends
    // watching (false) only FromLoop; otherwise it stays queued for the loop to report.
    bool WriteQueued(bool FromLoop);
    std::optional<std::uint32_t> ModemStatus() const override;

private:
    void OnReadable();
    void OnWritable();
    void CheckDrained();
    void PollLines();
    void RequestHangup(const QString& Reason);
    void StopWatching();

    QObject* m_context;
    SerialBackendEvents m_events;
    SerialLineSettings m_line;
    int m_fd = -1;
    SerialLowLatency m_latency;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer* m_drainTimer = nullptr;
    QTimer* m_lineTimer = nullptr;
    QTimer* m_settleTimer = nullptr; // runs while the line settles after new settings
    QTimer* m_readPause = nullptr;   // runs while reads wait for more bytes to gather
    std::deque<QByteArray> m_writeQueue;
    qsizetype m_writeOffset = 0; // bytes of m_writeQueue.front() already written
    bool m_hungUp = false;       // a read or write failed; watching has stopped
    bool m_drainOwed = false;    // opened or written since "drained" was last reported
    std::optional<std::uint32_t> m_lastLines;
    std::optional<LineErrorCounters> m_lastCounters;
};

LinuxSerialBackend::LinuxSerialBackend(QObject* Context, SerialBackendEvents Events)
    : m_context(Context), m_events(std::move(Events)) {
    m_drainTimer = new QTimer(m_context);
    m_drainTimer->setSingleShot(true);
    QObject::connect(m_drainTimer, &QTimer::timeout, m_drainTimer, [this] { CheckDrained(); });
    m_lineTimer = new QTimer(m_context);
    m_lineTimer->setInterval(kLinePollMs);
    QObject::connect(m_lineTimer, &QTimer::timeout, m_lineTimer, [this] { PollLines(); });
    m_settleTimer = new QTimer(m_context);
    m_settleTimer->setSingleShot(true);
    m_settleTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_settleTimer, &QTimer::timeout, m_settleTimer, [this] {
        if (m_writeNotifier && m_drainOwed)
            m_writeNotifier->setEnabled(true);
    });
    m_readPause = new QTimer(m_context);
    m_readPause->setSingleShot(true);
    m_readPause->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_readPause, &QTimer::timeout, m_readPause, [this] {
        if (m_readNotifier)
            m_readNotifier->setEnabled(true);
    });
}

LinuxSerialBackend::~LinuxSerialBackend() {
    Close();
    delete m_drainTimer;
    delete m_lineTimer;
    delete m_settleTimer;
    delete m_readPause;
}

void LinuxSerialBackend::Open(const QString& Path, const SerialLineSettings& Line) {
    if (m_fd >= 0)
        return;
    m_fd = OpenTerminal(Path);
    m_latency.Request(m_fd);
    m_hungUp = false;
    ::tcflush(m_fd, TCIOFLUSH);
    m_writeQueue.clear();
    m_writeOffset = 0;
    ApplyLineSettings(Line);

    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, m_context);
    QObject::connect(m_readNotifier, &QSocketNotifier::activated, m_readNotifier,
                     [this] { OnReadable(); });
    // The first time the (empty) transmit side is found writable it reports "drained": the
    // owner hears once after every open.
    m_drainOwed = true;
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, m_context);
    QObject::connect(m_writeNotifier, &QSocketNotifier::activated, m_writeNotifier,
                     [this] { OnWritable(); });
    m_writeNotifier->setEnabled(!m_settleTimer->isActive());

    m_lastLines = ReadModemLines(m_fd);
    m_lastCounters = ReadErrorCounters(m_fd);
    if (m_lastLines || m_lastCounters)
        m_lineTimer->start();
}

void LinuxSerialBackend::StopWatching() {
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

void LinuxSerialBackend::Close() {
    if (m_fd < 0)
        return;
    StopWatching();
    // Requests not yet handed to the driver are dropped, and so is what the driver still
    // holds in either direction; no "drained" follows for them.
    m_writeQueue.clear();
    m_writeOffset = 0;
    ::tcflush(m_fd, TCIOFLUSH);
    m_latency.Restore();
    ::close(m_fd);
    m_fd = -1;
    m_drainOwed = false;
    m_hungUp = false;
    m_lastLines.reset();
    m_lastCounters.reset();
}

void LinuxSerialBackend::DiscardInput() {
    if (m_fd >= 0)
        ::tcflush(m_fd, TCIFLUSH);
}

void LinuxSerialBackend::PauseReading(int Ms) {
    if (!m_readNotifier || Ms <= 0)
        return;
    m_readNotifier->setEnabled(false);
    m_readPause->start(Ms);
}

bool LinuxSerialBackend::Write(const char* Data, int Count) {
    if (m_fd < 0 || m_hungUp)
        return false;
    const bool idle = m_writeQueue.empty();
    m_writeQueue.emplace_back(Data, qsizetype(Count));
    m_drainOwed = true;
    m_drainTimer->stop();
    if (m_settleTimer->isActive())
        return true;
    if (idle) {
        // Nothing queued before: the driver almost always takes a short request at once, so
        // write it now instead of waking the loop twice to be told the line is writable.
        // The drained check still comes from the loop, never from inside this call.
        WriteQueued(false);
        if (m_writeQueue.empty()) {
            m_drainTimer->start(0);
            return true;
        }
    }
    m_writeNotifier->setEnabled(true);
    return true;
}

bool LinuxSerialBackend::WriteQueued(bool FromLoop) {
    while (!m_writeQueue.empty()) {
        const QByteArray& front = m_writeQueue.front();
        const ssize_t n =
            ::write(m_fd, front.constData() + m_writeOffset, size_t(front.size() - m_writeOffset));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true; // the rest waits for the line to become writable
            // A failing line is reported from the loop, never from inside the owner's write.
            if (!FromLoop)
                return true;
            RequestHangup(ErrorText(errno));
            return false;
        }
        m_writeOffset += n;
        if (m_writeOffset == front.size()) {
            m_writeQueue.pop_front();
            m_writeOffset = 0;
        }
    }
    return true;
}

std::optional<std::uint32_t> LinuxSerialBackend::ModemStatus() const {
    if (m_fd < 0)
        return std::nullopt;
    return ReadModemLines(m_fd);
}

void LinuxSerialBackend::OnReadable() {
    char buffer[kCommReadChunk];
    const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        RequestHangup(ErrorText(errno));
        return;
    }
    if (n == 0) {
        // With VMIN 1 a terminal only reads 0 bytes once it has been hung up.
        RequestHangup(QStringLiteral("hung up"));
        return;
    }
    qsizetype count = n;
    if (m_line.IgnoreNullChar) {
        char* end = std::remove(buffer, buffer + count, '\0');
        count = end - buffer;
        if (count == 0)
            return;
    }
    m_events.Bytes(buffer, int(count));
}

void LinuxSerialBackend::OnWritable() {
    if (!WriteQueued(true))
        return;
    if (!m_writeQueue.empty())
        return; // the notifier stays armed
    m_writeNotifier->setEnabled(false);
    CheckDrained();
}

void LinuxSerialBackend::CheckDrained() {
    if (m_fd < 0 || !m_writeQueue.empty())
        return;
    int pending = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &pending) != 0)
        pending = 0;
    if (pending > 0) {
        // Look again about when the driver should have sent what it holds.
        const int bits = BitsPerCharacter(m_line.ByteSize, m_line.Parity, m_line.StopBits);
        const std::uint32_t baud = m_line.BaudRate ? m_line.BaudRate : 9600;
        const qint64 ms = qint64(pending) * bits * 1000 / baud + 1;
        m_drainTimer->start(int(std::clamp<qint64>(ms, 1, 1000)));
        return;
    }
    if (!m_drainOwed)
        return;
    m_drainOwed = false;
    m_events.Drained();
}

void LinuxSerialBackend::PollLines() {
    if (m_fd < 0)
        return;
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
    if (errors != 0 || modemEvent != 0)
        m_events.LinesChanged(errors, modemEvent);
}

void LinuxSerialBackend::RequestHangup(const QString& Reason) {
    // Watching ends (the notifiers go: on a hung-up descriptor they would fire without end);
    // the device stays open until the owner closes it.
    m_hungUp = true;
    StopWatching();
    m_events.Hangup(Reason);
}

void LinuxSerialBackend::ApplyLineSettings(const SerialLineSettings& Line) {
    m_line = Line;
    if (m_fd < 0)
        return;
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

    if (Line.ParityCheck)
        t.c_iflag |= INPCK;
    if (Line.Outx_XonXoffFlow)
        t.c_iflag |= IXON;
    if (Line.Inx_XonXoffFlow)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(Line.XonChar);
    t.c_cc[VSTOP] = cc_t(Line.XoffChar);

    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[static_cast<int>(Line.ByteSize)];
    switch (Line.Parity) {
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
    if (Line.StopBits != TStopBits::_1)
        t.c_cflag |= CSTOPB;
    if (Line.Outx_CtsFlow || Line.RtsControl == TRtsControl::RtsHandshake)
        t.c_cflag |= CRTSCTS;

    const auto code = SpeedCode(Line.BaudRate);
    if (code) {
        ::cfsetispeed(&t, *code);
        ::cfsetospeed(&t, *code);
    }
    ::tcsetattr(m_fd, TCSANOW, &t);
    if (!code && Line.BaudRate != 0)
        SetArbitraryLineSpeed(m_fd, Line.BaudRate);

    // DTR and RTS are held as asked; handshake modes start with the line on and leave the rest
    // to the driver's hardware flow control.
    SetModemLine(m_fd, TIOCM_DTR, Line.DtrControl != TDtrControl::DtrDisable);
    SetModemLine(m_fd, TIOCM_RTS, Line.RtsControl != TRtsControl::RtsDisable);

    // Writes wait until the line has settled; the wait is a timer, the thread goes on.
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    m_settleTimer->start(kSerialSettleMs);
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

std::unique_ptr<SerialBackend> CreateSerialBackend(QObject* Context, SerialBackendEvents Events) {
    return std::make_unique<LinuxSerialBackend>(Context, std::move(Events));
}
