#include "transport/nmudp.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QPointer>
#include <QUdpSocket>

#include <cstring>
#include <mutex>
#include <set>

#include <arpa/inet.h>

namespace {

// Local ports held by components of this process. The sockets bind with address reuse so
// that another process (a device simulator on 127.0.0.2) can share the port number; without
// this table a second component of this process would bind the same port too, and Linux
// would hand every datagram to whichever bound last. The first component keeps the port.
std::mutex g_portsMutex;
std::set<int> g_claimedPorts;

bool ClaimPort(int Port) {
    std::lock_guard lock(g_portsMutex);
    return g_claimedPorts.insert(Port).second;
}

void ReleasePort(int Port) {
    std::lock_guard lock(g_portsMutex);
    g_claimedPorts.erase(Port);
}

QString DottedIPv4(const QHostAddress& Address) {
    bool ok = false;
    const quint32 v4 = Address.toIPv4Address(&ok);
    if (!ok)
        return Address.toString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg((v4 >> 24) & 0xFF)
        .arg((v4 >> 16) & 0xFF)
        .arg((v4 >> 8) & 0xFF)
        .arg(v4 & 0xFF);
}

} // namespace

struct TNMUDP::Lookup {
    QEventLoop* Loop = nullptr; // set while SendDatagram waits
    bool Finished = false;
    bool Cancelled = false;
    QHostInfo Info;
};

std::optional<std::uint32_t> NumericIPv4(const QString& Host) {
    const QByteArray text = Host.left(127).toLatin1();
    in_addr address{};
    if (::inet_aton(text.constData(), &address) == 0)
        return std::nullopt;
    const std::uint32_t value = ntohl(address.s_addr);
    // The classic conversion cannot tell the all-ones address from a failure, so such a host
    // goes to the name service like any other name.
    if (value == 0xFFFFFFFFu)
        return std::nullopt;
    return value;
}

TNMUDP::TNMUDP(QObject* Owner) : QObject(Owner) {
    NewSocket();
    Status(QString::fromLatin1(kUdpStatusInitializing), 8);
}

TNMUDP::~TNMUDP() {
    CancelLookup();
    ReleaseSocket();
}

void TNMUDP::Status(const QString& Text, int Level) {
    if (m_reportLevel < Level)
        return;
    m_lastStatus = Text;
    if (OnStatus)
        OnStatus(this, Text);
}

void TNMUDP::NewSocket() {
    m_socket = new QUdpSocket(this);
    // A device link never goes through a proxy; saying so also spares the socket QtNetwork's
    // system-proxy query (a lookup thread) before every bind.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QUdpSocket::readyRead, this, &TNMUDP::OnReadyRead);
}

void TNMUDP::ReleaseSocket() {
    if (m_claimedPort != 0) {
        ReleasePort(m_claimedPort);
        m_claimedPort = 0;
    }
    m_bound = false;
    if (!m_socket)
        return;
    // This may run inside the socket's own readyRead (a handler rebinding or releasing the
    // component): close now so the port is free at once, delete once control has left it.
    QUdpSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->close();
    socket->setParent(nullptr);
    socket->deleteLater();
}

void TNMUDP::SetLocalPort(int Value) {
    ReleaseSocket();
    m_localPort = Value;
    NewSocket();
    if (Value < 0 || Value > 0xFFFF)
        return;
    if (Value != 0 && !ClaimPort(Value))
        return; // another component of this process holds the port: stay unbound
    const bool bound =
        m_socket->bind(QHostAddress::AnyIPv4, quint16(Value),
                       QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    if (!bound) {
        if (Value != 0)
            ReleasePort(Value);
        return;
    }
    m_claimedPort = Value;
    m_bound = true;
}

bool TNMUDP::IsBound() const {
    return m_bound;
}

int TNMUDP::BoundPort() const {
    return m_bound && m_socket ? int(m_socket->localPort()) : 0;
}

void TNMUDP::OnReadyRead() {
    QPointer<TNMUDP> self(this);
    QUdpSocket* const socket = m_socket;
    // Every queued datagram becomes one event, in arrival order. A handler may rebind or
    // release the component; the loop stops as soon as this socket is no longer ours.
    while (self && socket && m_socket == socket && socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        QHostAddress from;
        quint16 port = 0;
        int count = -1;
        if (size < 0 || size > kUdpReceiveBufferSize) {
            char discard = 0;
            if (socket->readDatagram(&discard, 1, &from, &port) < 0 && size < 0)
                break; // nothing could be taken; wait for the next notification
            count = -1;
        } else {
            const qint64 n =
                socket->readDatagram(m_buffer.data(), kUdpReceiveBufferSize, &from, &port);
            count = n < 0 ? -1 : int(n);
        }
        m_count = count;
        // A copy, so that a handler that releases the component does not pull its own code
        // from under itself.
        if (const TOnReceive handler = OnDataReceived)
            handler(this, count, DottedIPv4(from), int(port));
    }
}

int TNMUDP::ReadDatagram(char* Buffer, int Capacity) const {
    if (m_count < 0 || m_count > Capacity)
        return -1;
    if (m_count > 0) {
        if (Buffer == nullptr)
            return -1;
        std::memcpy(Buffer, m_buffer.data(), size_t(m_count));
    }
    return m_count;
}

int TNMUDP::DiscardPending() {
    int dropped = 0;
    while (m_socket && m_socket->hasPendingDatagrams()) {
        char discard = 0;
        if (m_socket->readDatagram(&discard, 1) < 0)
            break;
        ++dropped;
    }
    return dropped;
}

void TNMUDP::CancelLookup() {
    for (const auto& lookup : m_lookups) {
        lookup->Cancelled = true;
        if (lookup->Loop)
            lookup->Loop->quit();
    }
}

bool TNMUDP::LookupOnce(const QString& Name, std::uint32_t& Address) {
    auto state = std::make_shared<Lookup>();
    QEventLoop loop;
    state->Loop = &loop;
    m_lookups.push_back(state);
    QPointer<TNMUDP> self(this);

    // The result comes through the event loop; the state is shared so that a late answer
    // after a cancel finds it alive.
    QHostInfo::lookupHost(Name, this, [state](const QHostInfo& Info) {
        state->Info = Info;
        state->Finished = true;
        if (state->Loop)
            state->Loop->quit();
    });
    if (!state->Finished && !state->Cancelled)
        loop.exec();
    state->Loop = nullptr;

    if (!self) // released while waiting: touch nothing of it
        throw UDPSockError(kUdpErrorLookupCanceled);
    std::erase(m_lookups, state);
    // A cancelled lookup is left to finish: its late answer only fills the shared state. Qt
    // would not free the answer's handler of an aborted lookup (abortHostLookup).
    if (state->Cancelled)
        throw UDPSockError(kUdpErrorLookupCanceled);
    if (state->Info.error() != QHostInfo::NoError)
        return false;
    for (const QHostAddress& a : state->Info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            Address = a.toIPv4Address();
            return true;
        }
    }
    return false;
}

std::uint32_t TNMUDP::ResolveRemote() {
    if (const auto numeric = NumericIPv4(m_remoteHost))
        return *numeric;
    const QString name = m_remoteHost;
    std::uint32_t address = 0;
    if (LookupOnce(name, address))
        return address;
    if (OnInvalidHost) {
        QPointer<TNMUDP> self(this);
        bool handled = false;
        OnInvalidHost(handled);
        if (!self)
            throw UDPSockError(kUdpErrorLookupCanceled);
    }
    if (LookupOnce(name, address))
        return address;
    throw UDPSockError(kUdpErrorLookupCanceled);
}

void TNMUDP::SendDatagram(const char* Buffer, int Length) {
    const char* buffer = Buffer;
    int length = Length;
    bool secondPass = false;
    while (length <= 0 || buffer == nullptr) {
        if (secondPass || !OnBufferInvalid)
            throw UDPSockError(kUdpErrorInvalidBuffer);
        bool handled = false;
        OnBufferInvalid(handled, buffer, length);
        if (!handled)
            throw UDPSockError(kUdpErrorInvalidBuffer);
        secondPass = true;
    }
    // Copied before any lookup: events run while a name is looked up and may reuse the
    // caller's buffer.
    const QByteArray copy(buffer, length);

    QPointer<TNMUDP> self(this);
    const std::uint32_t address = ResolveRemote();
    if (!self)
        throw UDPSockError(kUdpErrorLookupCanceled);
    if (address == 0)
        throw UDPSockError(kUdpErrorNullAddress);

    Status(QString::fromLatin1(kUdpStatusSending), 2);
    if (!m_socket)
        return;
    // Whether the network takes the datagram is not examined: a refused one is lost.
    m_socket->writeDatagram(copy, QHostAddress(address), quint16(m_remotePort));
    if (OnDataSend)
        OnDataSend(this);
}
