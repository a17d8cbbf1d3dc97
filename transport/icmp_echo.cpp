#include "transport/icmp_echo.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kDestUnreachable = 3;
constexpr std::uint8_t kTimeExceeded = 11;
constexpr std::uint8_t kParameterProblem = 12;
constexpr int kEchoHeaderSize = 8;
// Largest IPv4 datagram: the receive buffer holds any answer or error report whole.
constexpr std::size_t kReceiveBufferSize = 65536;

std::uint16_t ReadU16(const unsigned char* Bytes) {
    return static_cast<std::uint16_t>((Bytes[0] << 8) | Bytes[1]);
}

void WriteU16(unsigned char* Bytes, std::uint16_t Value) {
    Bytes[0] = static_cast<unsigned char>(Value >> 8);
    Bytes[1] = static_cast<unsigned char>(Value & 0xFF);
}

// Internet checksum (ones' complement sum of 16-bit words). A datagram socket fills it in
// itself; a raw socket sends what we give it.
std::uint16_t InternetChecksum(const unsigned char* Bytes, std::size_t Length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < Length; i += 2)
        sum += ReadU16(Bytes + i);
    if (Length % 2 != 0)
        sum += static_cast<std::uint32_t>(Bytes[Length - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

// The classic dotted conversion: "a.b.c.d" and its shorter and octal/hex forms. The all-ones
// address cannot be told from a failed conversion and is therefore never a valid target.
bool DottedToAddress(const QString& Text, std::uint32_t& Address) {
    if (Text.isEmpty())
        return false;
    const QByteArray latin = Text.toLatin1();
    in_addr value{};
    if (::inet_aton(latin.constData(), &value) == 0)
        return false;
    Address = ntohl(value.s_addr);
    return Address != 0xFFFFFFFFu;
}

QString AddressToDotted(std::uint32_t Address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg((Address >> 24) & 0xFF)
        .arg((Address >> 16) & 0xFF)
        .arg((Address >> 8) & 0xFF)
        .arg(Address & 0xFF);
}

bool IsDotted(const QString& Text) {
    const QByteArray latin = Text.toLatin1();
    in_addr value{};
    return !Text.isEmpty() && ::inet_aton(latin.constData(), &value) != 0;
}

// Blocking lookup of the first IPv4 address of Name; a dotted text stands for itself without
// asking the resolver.
bool LookupHost(const QString& Name, QString& Dotted) {
    const QByteArray latin = Name.toLatin1();
    in_addr value{};
    if (::inet_aton(latin.constData(), &value) != 0) {
        Dotted = AddressToDotted(ntohl(value.s_addr));
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(Name.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    bool ok = false;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            Dotted = AddressToDotted(ntohl(in->sin_addr.s_addr));
            ok = true;
            break;
        }
    }
    ::freeaddrinfo(found);
    return ok;
}

std::uint16_t NextIdentifier() {
    // Raw sockets see every echo answer that reaches the host, so each component keeps its own
    // identifier: a value drawn from the process id, counted up per component (distinct for
    // 65536 components of one process).
    static std::atomic<unsigned> counter{0};
    const unsigned mixed = static_cast<unsigned>(::getpid()) * 2654435761u;
    return static_cast<std::uint16_t>((mixed >> 16) + counter.fetch_add(1));
}

QString SystemError(int Error) {
    return QString::fromLocal8Bit(std::strerror(Error));
}

} // namespace

TIcmpEcho::TIcmpEcho() : m_buffer(kReceiveBufferSize) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (m_fd >= 0) {
        m_kind = TIcmpSocketKind::iskDatagram;
        // Error reports about our requests (unreachable, time exceeded) arrive on the error
        // queue instead of being dropped, so a refused request ends its wait at once.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on);
    } else {
        m_fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (m_fd < 0)
            throw EIcmpError(kIcmpRunError);
        m_kind = TIcmpSocketKind::iskRaw;
        m_identifier = NextIdentifier();
        // Only echo answers and error reports wake us; requests (our own ones on loopback
        // included) and the rest of the host's ICMP traffic are dropped by the kernel.
        icmp_filter filter{};
        filter.data = ~((1u << kEchoReply) | (1u << kDestUnreachable) | (1u << kTimeExceeded) |
                        (1u << kParameterProblem));
        ::setsockopt(m_fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    }
}

TIcmpEcho::~TIcmpEcho() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void TIcmpEcho::SetPingCount(int Value) {
    if (Value >= 1)
        m_pingCount = Value;
}

QString TIcmpEcho::DataString() const {
    return m_dataString.isEmpty() ? QString::fromLatin1(kIcmpDefaultData) : m_dataString;
}

TIcmpEcho::Target TIcmpEcho::Resolve(const QString& Address, const QString& Host) {
    Target target;
    QString text = Address;
    if (text.isEmpty() && !Host.isEmpty()) {
        if (LookupHost(Host, text) && !IsDotted(Host))
            target.hostName = Host;
    }
    std::uint32_t value = 0;
    if (DottedToAddress(text, value)) {
        target.valid = true;
        target.address = value;
        target.dotted = AddressToDotted(value);
    }
    return target;
}

void TIcmpEcho::SetRemoteIP(const QString& Value) {
    if (Value == m_remoteIP)
        return;
    m_remoteIP = Value;
    m_hostName.clear();
    if (Resolve(Value, QString()).valid)
        m_remoteHost.clear();
}

void TIcmpEcho::SetRemoteHost(const QString& Value) {
    if (Value == m_remoteHost)
        return;
    m_remoteHost = Value;
    const Target target = Resolve(QString(), Value);
    if (target.valid) {
        m_remoteIP = target.dotted;
        m_hostName = target.hostName;
    }
}

bool TIcmpEcho::PingRemote(QString& Content) {
    Content.clear();
    Target target = Resolve(m_remoteIP, m_remoteHost);
    if (!m_remoteIP.isEmpty())
        target.hostName = m_hostName;
    bool answered = false;
    for (int i = 0; i < m_pingCount; ++i) {
        Content += QLatin1Char('\n') + EchoOnce(target);
        answered = m_lastResult == kIcmpAnswered;
        if (!answered)
            break;
        if (m_delay > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_delay));
    }
    return answered;
}

bool TIcmpEcho::PingAddress(const QString& Address, QString& Content) {
    Content.clear();
    const Target target = Resolve(Address, Address);
    Content += QLatin1Char('\n') + EchoOnce(target);
    return m_lastResult == kIcmpAnswered;
}

QString TIcmpEcho::EchoOnce(const Target& Target) {
    if (m_dataString.isEmpty()) {
        m_lastResult = kIcmpEmptyPayload;
        return QString::fromUtf8(kIcmpRunError);
    }
    if (!Target.valid) {
        m_lastResult = kIcmpInvalidAddress;
        return QString::fromUtf8(kIcmpInvalidAddressText);
    }
    const Answer answer = SendAndWait(Target, m_dataString.toUtf8());
    m_lastResult = answer.result;
    const QString label = Target.hostName.isEmpty()
                              ? Target.dotted
                              : Target.hostName + QStringLiteral(": ") + Target.dotted;
    if (answer.result == kIcmpNoAnswer) {
        const QString line = QStringLiteral("[%1] 没有响应")
                                 .arg(Target.hostName.isEmpty() ? Target.dotted : Target.hostName);
        if (OnError)
            OnError(this, Target.dotted, Target.hostName, 0, 0, line);
        return line;
    }
    if (answer.result == kIcmpAnswered) {
        if (OnReceived)
            OnReceived(this, answer.from, Target.hostName, answer.ttl, answer.tos);
    } else if (OnError) {
        OnError(this, Target.dotted, Target.hostName, 0, 0, answer.error);
    }
    // One substitution pass, so a '%' in a host name is never taken for a placeholder.
    return QStringLiteral("[%1]: 字节数:%2 时间: %3ms TTL: %4")
        .arg(label, QString::number(answer.dataSize), QString::number(answer.roundTripMs),
             QString::number(answer.ttl));
}

TIcmpEcho::Answer TIcmpEcho::SendAndWait(const Target& Target, const QByteArray& Payload) {
    Answer result;
    const int ttl = m_ttl;
    const int tos = 0;
    if (::setsockopt(m_fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0 ||
        ::setsockopt(m_fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) {
        result.error = SystemError(errno);
        return result;
    }

    const std::uint16_t sequence = ++m_sequence;
    std::vector<unsigned char> request(kEchoHeaderSize + static_cast<std::size_t>(Payload.size()));
    request[0] = kEchoRequest;
    request[1] = 0;
    WriteU16(&request[4], m_identifier);
    WriteU16(&request[6], sequence);
    std::memcpy(request.data() + kEchoHeaderSize, Payload.constData(),
                static_cast<std::size_t>(Payload.size()));
    WriteU16(&request[2], InternetChecksum(request.data(), request.size()));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(Target.address);

    // Answers to earlier requests that came after their wait ended are still queued; they
    // carry another sequence number and are skipped below.
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(m_timeOut);
    if (::sendto(m_fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) < 0) {
        result.error = SystemError(errno);
        return result;
    }

    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watch{m_fd, POLLIN, 0};
        const int ready =
            ::poll(&watch, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            result.error = SystemError(errno);
            return result;
        }
        if (ready == 0) {
            result.result = kIcmpNoAnswer;
            return result;
        }
        bool done = false;
        if (watch.revents & POLLERR)
            done = ReadErrorQueue(sequence, result);
        if (!done && (watch.revents & POLLIN))
            done = ReadOne(Payload, sequence, result);
        if (done) {
            if (result.result == kIcmpAnswered)
                result.roundTripMs = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count());
            return result;
        }
        if (Clock::now() >= deadline) {
            result.result = kIcmpNoAnswer;
            return result;
        }
    }
}

bool TIcmpEcho::ReadOne(const QByteArray& Payload, std::uint16_t Sequence, Answer& Result) {
    sockaddr_in from{};
    iovec part{m_buffer.data(), m_buffer.size()};
    alignas(cmsghdr) unsigned char control[256];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
    if (got < 0) {
        // A pending error report shows up here as the socket error; the error queue holds
        // its details and is read on the next round.
        return false;
    }
    const unsigned char* bytes = m_buffer.data();
    std::size_t length = static_cast<std::size_t>(got);
    std::uint8_t ttl = 0;
    std::uint8_t tos = 0;

    if (m_kind == TIcmpSocketKind::iskRaw) {
        if (length < 20)
            return false;
        const std::size_t headerLength = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
        if (headerLength < 20 || length < headerLength + kEchoHeaderSize)
            return false;
        tos = bytes[1];
        ttl = bytes[8];
        bytes += headerLength;
        length -= headerLength;
    } else {
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level != IPPROTO_IP)
                continue;
            if (item->cmsg_type == IP_TTL) {
                int value = 0;
                std::memcpy(&value, CMSG_DATA(item), sizeof value);
                ttl = static_cast<std::uint8_t>(value);
            } else if (item->cmsg_type == IP_TOS) {
                tos = *CMSG_DATA(item);
            }
        }
        if (length < static_cast<std::size_t>(kEchoHeaderSize))
            return false;
    }

    const std::uint8_t type = bytes[0];
    if (type == kEchoReply) {
        if (ReadU16(bytes + 6) != Sequence)
            return false;
        if (m_kind == TIcmpSocketKind::iskRaw && ReadU16(bytes + 4) != m_identifier)
            return false;
        const std::size_t dataSize = length - kEchoHeaderSize;
        if (dataSize != static_cast<std::size_t>(Payload.size()) ||
            std::memcmp(bytes + kEchoHeaderSize, Payload.constData(), dataSize) != 0)
            return false;
        Result.result = kIcmpAnswered;
        Result.dataSize = static_cast<int>(dataSize);
        Result.ttl = ttl;
        Result.tos = tos;
        Result.from = AddressToDotted(ntohl(from.sin_addr.s_addr));
        return true;
    }
    if (m_kind == TIcmpSocketKind::iskRaw &&
        (type == kDestUnreachable || type == kTimeExceeded || type == kParameterProblem)) {
        // An error report quotes the IP header and the first 8 bytes of the request it is about.
        const unsigned char* inner = bytes + kEchoHeaderSize;
        const std::size_t innerLength = length - kEchoHeaderSize;
        if (innerLength < 20)
            return false;
        const std::size_t innerHeader = static_cast<std::size_t>(inner[0] & 0x0F) * 4;
        if (innerHeader < 20 || innerLength < innerHeader + kEchoHeaderSize || inner[9] != 1)
            return false;
        const unsigned char* quoted = inner + innerHeader;
        if (quoted[0] != kEchoRequest || ReadU16(quoted + 4) != m_identifier ||
            ReadU16(quoted + 6) != Sequence)
            return false;
        // Somebody on the way says the request cannot be delivered: the target did not
        // answer, and waiting longer would not change that.
        Result.result = kIcmpNoAnswer;
        return true;
    }
    return false;
}

bool TIcmpEcho::ReadErrorQueue(std::uint16_t Sequence, Answer& Result) {
    bool done = false;
    for (;;) {
        iovec part{m_buffer.data(), m_buffer.size()};
        alignas(cmsghdr) unsigned char control[512];
        sockaddr_in offender{};
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(m_fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (got < 0) {
            // Clear a pending socket error too: left set, it would keep poll reporting the
            // socket as ready for the rest of the wait.
            int pending = 0;
            socklen_t size = sizeof pending;
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &pending, &size);
            return done;
        }
        // The queued copy is the request we sent (echo header first).
        if (done || got < kEchoHeaderSize || ReadU16(m_buffer.data() + 6) != Sequence)
            continue;
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level != IPPROTO_IP || item->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(item), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_ICMP) {
                Result.result = kIcmpNoAnswer;
            } else {
                Result.result = kIcmpFailure;
                Result.error = SystemError(static_cast<int>(error.ee_errno));
            }
            done = true;
            break;
        }
    }
}
