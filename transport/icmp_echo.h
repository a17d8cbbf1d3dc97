#pragma once

// TIcmpEcho: the reachability check. Sends ICMP echo requests to one IPv4 address and waits a
// bounded time for each answer. Before and during an upload over UDP the owner asks it whether
// the device still answers; the scale bus link uses PingAddress as its network connect step.
//
// The echo socket is opened when the component is made and closed when it is released. On
// Linux this is the unprivileged ICMP datagram socket when the process's group is inside
// /proc/sys/net/ipv4/ping_group_range, otherwise a raw ICMP socket (root or CAP_NET_RAW). The
// kernel picks the identifier of a datagram socket's requests itself, so answers are matched
// by sequence number and payload (and, on a raw socket, also by our own identifier).
//
// Threading: not thread-safe; use one instance from one thread. Every request blocks the
// calling thread for at most TimeOut ms (poll on the socket, never a busy loop), plus Delay ms
// between requests of PingRemote. Name lookups (RemoteHost) block on the system resolver.

#include <QString>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

// Raised by the constructor when no echo socket can be opened; what() is kIcmpRunError.
// An owner that makes the component on demand should catch it and report the text (a UDP
// upload then stops with this line instead of waiting for a device it cannot check).
class EIcmpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Results of one echo request (LastResult).
inline constexpr int kIcmpAnswered = 0;
inline constexpr int kIcmpInvalidAddress = -1;
inline constexpr int kIcmpNoAnswer = -2;
inline constexpr int kIcmpFailure = -3;
inline constexpr int kIcmpEmptyPayload = -100;

// Texts of the Content lines and of the creation error (UTF-8).
inline constexpr const char* kIcmpRunError = "ICMP运行错误";
inline constexpr const char* kIcmpInvalidAddressText = "IP地址不合法";
// Formats: answered / failure inside: "[target]: 字节数:N 时间: Tms TTL: L";
// no answer: "[host] 没有响应".

// Payload of every request unless DataString is set: 12 ASCII characters.
inline constexpr const char* kIcmpDefaultData = "OrvexFM-Echo";

// Which kind of echo socket the component got.
enum class TIcmpSocketKind { iskDatagram, iskRaw };

class TIcmpEcho {
public:
    // An answer came: IPAddr is the address that answered, HostName the target's host name
    // (empty when none is known), TTL and TOS are those of the answer's IP header.
    using TOnReceived =
        std::function<void(TIcmpEcho* Sender, const QString& IPAddr, const QString& HostName,
                           std::uint8_t TTL, std::uint8_t TOS)>;
    // A request went unanswered (-2) or failed inside (-3): IPAddr/HostName name the target,
    // TTL and TOS are 0, ErrorMsg says what happened (the "没有响应" line, or the system's
    // error text for a failure).
    using TOnError =
        std::function<void(TIcmpEcho* Sender, const QString& IPAddr, const QString& HostName,
                           std::uint8_t TTL, std::uint8_t TOS, const QString& ErrorMsg)>;

    TOnReceived OnReceived;
    TOnError OnError;

    // Opens the echo socket; throws EIcmpError(kIcmpRunError) when neither kind is permitted.
    TIcmpEcho();
    ~TIcmpEcho();

    TIcmpEcho(const TIcmpEcho&) = delete;
    TIcmpEcho& operator=(const TIcmpEcho&) = delete;

    // Sends PingCount requests to the target (RemoteIP when it is not empty, else RemoteHost),
    // stopping at the first one that is not answered. Content gets, for every request sent,
    // a line break followed by that request's line. True only if every request was answered.
    bool PingRemote(QString& Content);
    // One request to Address, which must be a dotted IPv4 address (a host name is refused with
    // -1 and nothing is sent). Content gets that request's line (with a leading line break).
    // RemoteIP and RemoteHost are not changed.
    bool PingAddress(const QString& Address, QString& Content);

    QString RemoteIP() const { return m_remoteIP; }
    // Stores a different value and checks it; when it is a valid address RemoteHost is cleared.
    // An invalid value is stored all the same (the next PingRemote then fails with -1).
    void SetRemoteIP(const QString& Value);
    QString RemoteHost() const { return m_remoteHost; }
    // Stores a different value and resolves it at once (a dotted address stands for itself,
    // anything else goes to the system resolver); on success RemoteIP becomes the dotted text
    // of the first address found, on failure RemoteIP keeps its value.
    void SetRemoteHost(const QString& Value);

    int PingCount() const { return m_pingCount; }
    // Values below 1 are ignored.
    void SetPingCount(int Value);
    // Pause after each answered request of PingRemote, in ms (0: none).
    int Delay() const { return m_delay; }
    void SetDelay(int Value) { m_delay = Value; }
    // Time-to-live of the requests.
    std::uint8_t TTL() const { return m_ttl; }
    void SetTTL(std::uint8_t Value) { m_ttl = Value; }
    // Longest wait for each answer, in ms.
    std::uint32_t TimeOut() const { return m_timeOut; }
    void SetTimeOut(std::uint32_t Value) { m_timeOut = Value; }
    // The payload. An empty value reads back as kIcmpDefaultData, but requests made while it is
    // empty fail with -100 without sending anything.
    QString DataString() const;
    void SetDataString(const QString& Value) { m_dataString = Value; }

    // Result of the last request (kIcmpAnswered ... kIcmpEmptyPayload); 0 before any request.
    int LastResult() const { return m_lastResult; }
    // The kind of socket opened at creation.
    TIcmpSocketKind SocketKind() const { return m_kind; }

private:
    struct Target {
        bool valid = false;
        std::uint32_t address = 0xFFFFFFFFu; // host byte order
        QString dotted;
        QString hostName;
    };
    struct Answer {
        int result = kIcmpFailure;
        int dataSize = 0;
        int roundTripMs = 0;
        std::uint8_t ttl = 0;
        std::uint8_t tos = 0;
        QString from;
        QString error;
    };

    static Target Resolve(const QString& Address, const QString& Host);
    // Sends one request to Target and forms its Content line.
    QString EchoOnce(const Target& Target);
    Answer SendAndWait(const Target& Target, const QByteArray& Payload);
    // Reads one datagram; returns true and fills Answer when it is the answer (or an error
    // report) for the request with Sequence and Payload.
    bool ReadOne(const QByteArray& Payload, std::uint16_t Sequence, Answer& Result);
    bool ReadErrorQueue(std::uint16_t Sequence, Answer& Result);

    int m_fd = -1;
    TIcmpSocketKind m_kind = TIcmpSocketKind::iskDatagram;
    std::uint16_t m_identifier = 0; // raw sockets only
    std::uint16_t m_sequence = 0;
    std::vector<unsigned char> m_buffer;

    QString m_remoteIP = QStringLiteral("127.0.0.1");
    QString m_remoteHost;
    QString m_hostName; // the name RemoteIP was resolved from, if any
    int m_pingCount = 4;
    int m_delay = 0;
    std::uint8_t m_ttl = 64;
    std::uint32_t m_timeOut = 10;
    QString m_dataString = QString::fromLatin1(kIcmpDefaultData);
    int m_lastResult = kIcmpAnswered;
};
