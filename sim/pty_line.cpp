#include "sim/pty_line.h"

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

PtyLine::~PtyLine() {
    HangUp();
}

void PtyLine::HangUp() {
    m_notifier.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
}

bool PtyLine::Open(int Rate, std::function<void()> OnReadable, QString* Error) {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
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
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        *Error = ErrnoText("open slave");
        return false;
    }
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0) {
        *Error = ErrnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    const speed_t speed = RateToTermiosSpeed(Rate);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        *Error = ErrnoText("tcsetattr");
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_notifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated,
                     [OnReadable = std::move(OnReadable)] { OnReadable(); });
    return true;
}

int PtyLine::HostRate() const {
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0)
        return 0;
    const int in = TermiosSpeedToRate(::cfgetispeed(&tio));
    return in != 0 ? in : TermiosSpeedToRate(::cfgetospeed(&tio));
}

bool PtyLine::Read(QByteArray& Chunk) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            Chunk = QByteArray(buffer, n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false; // EAGAIN: all read; EIO cannot happen while the slave stays open here
    }
}

QByteArray PtyLine::AsHeard(QByteArray Bytes, int Rate) const {
    if (HostRate() != Rate) {
        for (auto& c : Bytes)
            c = static_cast<char>(~static_cast<unsigned char>(c) & 0x7F);
    }
    return Bytes;
}
