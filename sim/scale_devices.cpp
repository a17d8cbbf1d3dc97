#include "sim/scale_devices.h"

#include "sim/pty_device.h"

#include <QNetworkDatagram>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString ErrnoText(const char* What) {
    return QStringLiteral("%1: %2").arg(QLatin1String(What),
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

ScalePtyDevice::ScalePtyDevice(ScaleEngine& Engine, QObject* Parent)
    : QObject(Parent), m_engine(Engine) {}

ScalePtyDevice::~ScalePtyDevice() {
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool ScalePtyDevice::Open(QString* Error) {
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
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        *Error = ErrnoText("tcsetattr");
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_readNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read);
    connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
    m_writeNotifier = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] { Flush(); });
    return true;
}

int ScalePtyDevice::HostRate() const {
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0)
        return 0;
    const int in = TermiosSpeedToRate(::cfgetispeed(&tio));
    return in != 0 ? in : TermiosSpeedToRate(::cfgetospeed(&tio));
}

void ScalePtyDevice::OnReadable() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            // The host changes its speed only between its writes, so one reading per chunk
            // tells the speed these bytes were sent at.
            m_engine.FeedSerial(QByteArray(buffer, n), HostRate());
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    while (m_engine.HasOutput()) {
        ScaleWrite w = m_engine.TakeWrite();
        if (HostRate() != w.Rate) {
            for (auto& c : w.Bytes)
                c = static_cast<char>(~static_cast<unsigned char>(c) & 0x7F);
        }
        m_pending.append(w.Bytes);
    }
    Flush();
}

void ScalePtyDevice::Flush() {
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // full: the write notifier says when there is room again
    }
    m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

ScaleUdpDevice::ScaleUdpDevice(ScaleEngine& Engine, QObject* Parent)
    : QObject(Parent), m_engine(Engine) {
    connect(&m_socket, &QUdpSocket::readyRead, this, [this] { OnReadyRead(); });
}

bool ScaleUdpDevice::Open(const QString& Address, quint16 Port, QString* Error) {
    QHostAddress address;
    if (!address.setAddress(Address)) {
        *Error = QStringLiteral("not an IP address: %1").arg(Address);
        return false;
    }
    if (!m_socket.bind(address, Port,
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        *Error = QStringLiteral("cannot bind %1:%2: %3")
                     .arg(Address)
                     .arg(Port)
                     .arg(m_socket.errorString());
        return false;
    }
    return true;
}

void ScaleUdpDevice::OnReadyRead() {
    while (m_socket.hasPendingDatagrams()) {
        const QNetworkDatagram d = m_socket.receiveDatagram();
        if (!d.isValid())
            continue;
        if (d.senderPort() == m_socket.localPort() && d.senderAddress() == m_socket.localAddress())
            continue;
        m_peer = d.senderAddress();
        m_peerPort = static_cast<quint16>(d.senderPort());
        m_engine.FeedDatagram(d.data());
    }
    while (m_engine.HasOutput()) {
        const ScaleWrite w = m_engine.TakeWrite();
        if (m_peerPort != 0)
            m_socket.writeDatagram(w.Bytes, m_peer, m_peerPort);
    }
}
