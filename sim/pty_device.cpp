#include "sim/pty_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int TermiosSpeedToRate(unsigned Speed) {
    switch (Speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

namespace {

speed_t RateToTermiosSpeed(int Rate) {
    switch (Rate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

QString ErrnoText(const char* What) {
    return QStringLiteral("%1: %2").arg(QLatin1String(What),
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

PtyDevice::PtyDevice(DeviceEngine& Engine, bool Pace, bool SplitChunks, QObject* Parent)
    : QObject(Parent), m_engine(Engine), m_pace(Pace), m_split(SplitChunks) {}

PtyDevice::~PtyDevice() {
    m_notifier.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyDevice::Open(QString* Error) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0) {
        *Error = ErrnoText("posix_openpt");
        return false;
    }
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        *Error = ErrnoText("grantpt/unlockpt");
        return false;
    }
    const char* name = ::ptsname(m_master);
    if (!name) {
        *Error = ErrnoText("ptsname");
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slave < 0) {
        *Error = ErrnoText("open slave");
        return false;
    }
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0) {
        *Error = ErrnoText("tcgetattr");
        return false;
    }
    // A raw 8N1 line at the device's power-on rate, until the host sets its own.
    ::cfmakeraw(&tio);
    const speed_t speed = RateToTermiosSpeed(m_engine.LineRate());
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        *Error = ErrnoText("tcsetattr");
        return false;
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);

    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });

    OutputPump::Options opts;
    opts.Pace = m_pace;
    opts.GapMs = m_split ? 2 : 0;
    m_pump = std::make_unique<OutputPump>(m_engine, opts,
                                          [this](const OutWrite& w) { return Write(w); });
    return true;
}

int PtyDevice::HostRate() const {
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0)
        return 0;
    const int in = TermiosSpeedToRate(::cfgetispeed(&tio));
    return in != 0 ? in : TermiosSpeedToRate(::cfgetospeed(&tio));
}

void PtyDevice::OnReadable() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            // The speed is read per chunk: the host changes it only between its writes.
            int rate = HostRate();
            if (rate == 0)
                rate = -1; // a speed no device runs at: the bytes are noise
            m_engine.Feed(QByteArray(buffer, n), rate);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: all read; EIO cannot happen while the slave stays open here
    }
    m_pump->Kick();
}

qsizetype PtyDevice::Write(const OutWrite& W) {
    QByteArray bytes = W.Bytes;
    if (HostRate() != W.Rate) {
        // The host samples the line at the wrong speed: it receives noise, not these bytes.
        for (auto& c : bytes)
            c = static_cast<char>(~static_cast<unsigned char>(c) & 0x7F);
    }
    const ssize_t n = ::write(m_master, bytes.constData(), size_t(bytes.size()));
    if (n < 0)
        return 0; // full (EAGAIN): the pump tries again shortly
    return n;
}
