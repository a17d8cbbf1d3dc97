#include "transport/udp_port_lock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The abstract name of a port's hold: a leading NUL, then the text.
socklen_t HoldAddress(int Port, sockaddr_un& Address) {
    std::memset(&Address, 0, sizeof Address);
    Address.sun_family = AF_UNIX;
    const QByteArray name = QByteArrayLiteral("orvexfm-udp-port-") + QByteArray::number(Port);
    std::memcpy(Address.sun_path + 1, name.constData(), size_t(name.size()));
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// "orvexfm-cli (process 1234)" for the process holding Port, or empty when it cannot be told
// (it let go meanwhile, or its queue of callers is full).
QString HolderOf(int Port) {
    sockaddr_un address{};
    const socklen_t length = HoldAddress(Port, address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    QString holder;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
        credentials.pid > 0) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(credentials.pid));
        const QString name = comm.open(QIODevice::ReadOnly)
                                 ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                 : QString();
        holder = name.isEmpty() ? QStringLiteral("process %1").arg(credentials.pid)
                                : QStringLiteral("%1 (process %2)").arg(name).arg(credentials.pid);
    }
    ::close(fd);
    return holder;
}

} // namespace

bool UdpPortLock::Acquire(int Port, QString* Error) {
    Release();
    if (Port < 1 || Port > 0xFFFF) {
        if (Error)
            *Error = QStringLiteral("no UDP port %1").arg(Port);
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (Error)
            *Error = QStringLiteral("cannot hold local UDP port %1: %2")
                         .arg(Port)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sockaddr_un address{};
    const socklen_t length = HoldAddress(Port, address);
    // Listening lets a second program ask who holds the port (the peer's credentials).
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd, 4) != 0) {
        const int error = errno;
        ::close(fd);
        if (Error) {
            if (error == EADDRINUSE) {
                const QString holder = HolderOf(Port);
                *Error =
                    holder.isEmpty()
                        ? QStringLiteral("local UDP port %1 is in use by another program").arg(Port)
                        : QStringLiteral("local UDP port %1 is in use by %2").arg(Port).arg(holder);
            } else {
                *Error = QStringLiteral("cannot hold local UDP port %1: %2")
                             .arg(Port)
                             .arg(QString::fromLocal8Bit(std::strerror(error)));
            }
        }
        return false;
    }
    m_fd = fd;
    m_port = Port;
    return true;
}

void UdpPortLock::Release() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_port = 0;
}
