#pragma once

// TNMUDP: one IPv4 datagram socket bound to a local port. Sends a buffer as one datagram to
// RemoteHost:RemotePort and reports every datagram that arrives on the local port as one
// OnDataReceived call, in arrival order, in the thread that owns the component.
//
// Threading: every member must be called from the thread that owns the component. A send to
// a host name waits for the lookup in a local event loop, so other events of that thread
// (including OnDataReceived) may run during such a send.

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

class QUdpSocket;

// Raised by SendDatagram (and by the LocalPort setter when no socket can be made).
class UDPSockError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kUdpErrorInvalidBuffer = "Invalid buffer";
inline constexpr const char* kUdpErrorLookupCanceled = "Host Lookup Canceled";
inline constexpr const char* kUdpErrorNullAddress = "Null Remote Address";

// Status texts and the ReportLevel each needs to be reported.
inline constexpr const char* kUdpStatusInitializing = "Initializing Winsock";            // level 8
inline constexpr const char* kUdpStatusSending = "Sending Data";                         // level 2
inline constexpr const char* kUdpStatusErrorManager = "Checking Error In Error Manager"; // 16
inline constexpr const char* kUdpStatusLookingUpError = "Looking Up Error Message";      // 8

// Largest datagram delivered; a longer one is reported with NumberBytes -1 and no data.
inline constexpr int kUdpReceiveBufferSize = 2048;

// The IPv4 address RemoteHost names without any lookup, if it is a numeric IPv4 address
// (the classic inet_addr forms: "a.b.c.d", "a.b.c", "a.b", "a", octal and hex parts; only the
// first 127 characters count). "255.255.255.255" is not taken as numeric and goes to the
// name lookup, as does everything else.
std::optional<std::uint32_t> NumericIPv4(const QString& Host);

class TNMUDP : public QObject {
    Q_OBJECT

public:
    using TOnReceive =
        std::function<void(TNMUDP* Sender, int NumberBytes, const QString& FromIP, int Port)>;
    using TOnStatus = std::function<void(TNMUDP* Sender, const QString& Status)>;
    using TNotifyEvent = std::function<void(TNMUDP* Sender)>;
    using THandlerEvent = std::function<void(bool& Handled)>;
    // May replace Buff and Length (Length is the number of bytes at Buff).
    using TBuffInvalid = std::function<void(bool& Handled, const char*& Buff, int& Length)>;

    // A datagram was taken from the socket: NumberBytes is its length (0 for an empty one), or
    // -1 when the receive failed or the datagram was longer than 2048 bytes (its data is then
    // dropped). Call ReadDatagram inside the handler to copy the bytes out.
    TOnReceive OnDataReceived;
    // A datagram was handed to the socket.
    TNotifyEvent OnDataSend;
    // A status text whose level is not above ReportLevel.
    TOnStatus OnStatus;
    // The first name lookup of a send failed; the lookup is retried once whatever Handled says.
    THandlerEvent OnInvalidHost;
    // A send was asked for with length 0; set Handled and supply a buffer to go on.
    TBuffInvalid OnBufferInvalid;

    explicit TNMUDP(QObject* Owner = nullptr);
    // Cancels a lookup in progress (that send then fails with "Host Lookup Canceled").
    ~TNMUDP() override;

    TNMUDP(const TNMUDP&) = delete;
    TNMUDP& operator=(const TNMUDP&) = delete;

    // Sends Length bytes (copied first) as one datagram to RemoteHost:RemotePort.
    // Throws UDPSockError with
    //   "Invalid buffer"       - Length is 0 (or negative, or Buffer null) and OnBufferInvalid
    //                            did not supply a buffer;
    //   "Host Lookup Canceled" - the name did not resolve to an IPv4 address in two lookups, or
    //                            the lookup was cancelled (CancelLookup, component released);
    //   "Null Remote Address"  - the address resolved to 0.0.0.0.
    // A numeric address never waits on the name service. Whether the network accepts the
    // datagram is not checked: a refused datagram is lost silently.
    void SendDatagram(const char* Buffer, int Length);
    // Copies the datagram of the current OnDataReceived into Buffer and returns its length.
    // Returns -1 and copies nothing when the last receive failed (NumberBytes -1) or when the
    // datagram does not fit into Capacity bytes. Never writes past Capacity.
    int ReadDatagram(char* Buffer, int Capacity) const;
    // Drops the datagrams waiting on the socket without raising OnDataReceived; returns how
    // many were dropped.
    int DiscardPending();
    // Ends a name lookup that SendDatagram is waiting for; that send throws
    // "Host Lookup Canceled". Does nothing when no lookup is running.
    void CancelLookup();

    QString RemoteHost() const { return m_remoteHost; }
    void SetRemoteHost(const QString& Value) { m_remoteHost = Value; }
    int RemotePort() const { return m_remotePort; }
    void SetRemotePort(int Value) { m_remotePort = Value; }
    int LocalPort() const { return m_localPort; }
    // Closes the current socket and binds a new one to 0.0.0.0:Value (0: any free port), with
    // address reuse so that another process on this machine (a device simulator on 127.0.0.2)
    // can use the same port number. Within this process a port is held by the first component
    // that asked for it: a later component asking for the same port stays unbound, without
    // any error, receives nothing and can still send. A failed bind is not reported either.
    void SetLocalPort(int Value);
    int ReportLevel() const { return m_reportLevel; }
    void SetReportLevel(int Value) { m_reportLevel = Value; }

    // Whether the socket is bound to LocalPort, and the port it is bound to (useful with
    // LocalPort 0); 0 while unbound.
    bool IsBound() const;
    int BoundPort() const;
    // The last status text that was reported (empty if none reached ReportLevel).
    QString LastStatus() const { return m_lastStatus; }

private:
    struct Lookup;

    void Status(const QString& Text, int Level);
    void NewSocket();
    void ReleaseSocket();
    void OnReadyRead();
    std::uint32_t ResolveRemote();
    bool LookupOnce(const QString& Name, std::uint32_t& Address);

    QString m_remoteHost;
    int m_remotePort = 0;
    int m_localPort = 0;
    int m_reportLevel = 1;
    QString m_lastStatus;

    QUdpSocket* m_socket = nullptr;
    int m_claimedPort = 0; // port this component holds in the process-wide table (0: none)
    std::array<char, kUdpReceiveBufferSize> m_buffer{};
    int m_count = -1;
    bool m_bound = false;
    std::vector<std::shared_ptr<Lookup>> m_lookups; // lookups sends are waiting for, innermost last
};
