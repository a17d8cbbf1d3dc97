#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Transport of a link: serial line or UDP. Shared by the device link and the scale bus link;
// what a session does differently on each comes from the transport's AgreesBitRate and
// IsDatagram, not from this value.
enum TMode : std::uint8_t { tmRS232, tmTCPIP };

// The byte pipe a device link talks through: a serial line or a UDP socket. The link never
// knows which; it only writes whole frames and is handed received bytes.
//
// Threading: a transport lives in its owner's thread and raises its events there, so the link
// that owns it is touched by one thread only.
class LinkTransport {
public:
    // Modem-line bits reported by ModemStatus(), as the serial driver gives them.
    static constexpr std::uint32_t kModemCts = 0x10;
    static constexpr std::uint32_t kModemDsr = 0x20;
    static constexpr std::uint32_t kModemRing = 0x40;
    static constexpr std::uint32_t kModemCarrier = 0x80;

    virtual ~LinkTransport() = default;

    // Where to talk to: the serial port name, or the device's host name / address for UDP.
    // Takes effect at the next Open (UDP: also for datagrams sent from then on).
    virtual void SetEndpoint(const QString& Endpoint) = 0;
    virtual QString Endpoint() const = 0;

    // Opens the line. False on failure, with the reason in LastError(). Opening an open
    // transport reopens it. Every attempt ends with OnOpened.
    bool Open() {
        const bool opened = OpenLine();
        if (OnOpened)
            OnOpened(opened ? QString() : LastError());
        return opened;
    }
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    virtual QString LastError() const = 0;

    // Queues the bytes as one whole write (UDP: one datagram); writes go out in call order
    // and are never interleaved. False when the transport is closed or the write was refused.
    virtual bool Write(const QByteArray& Bytes) = 0;

    // Drops every received byte not handed over yet (serial: the driver's input queue; UDP:
    // the datagrams waiting on the socket) without raising OnBytes.
    virtual void DiscardInput() {}

    // What the line can do. A line that agrees a bit rate (serial) starts every session with
    // H_SETBAUD; one that does not (UDP) sends the command's first request at once.
    virtual bool AgreesBitRate() const = 0;
    // Each write is one datagram and each answer follows its own request: some answers are
    // taken without the sequence test, and the session itself opens the line.
    virtual bool IsDatagram() const = 0;

    // The link cannot act before Count more bytes are there (the rest of a frame). A line may
    // gather them before it hands anything over: fewer wake-ups while a slow line trickles a
    // packet in. 0: hand bytes over as they come. Lines that gain nothing ignore it.
    virtual void ExpectBytes(int /*Count*/) {}

    // Line bit rate. Lines that do not agree one ignore it.
    virtual void SetBaudRate(int BitsPerSecond) = 0;

    // Current modem lines (kModem* bits); 0 where the transport has none.
    virtual std::uint32_t ModemStatus() const = 0;

    // Raised in the owner's thread for every chunk of received bytes; chunks may split or join
    // frames in any way.
    std::function<void(const QByteArray& Bytes)> OnBytes;
    // Raised after every Open: an empty Error when the line opened, else why it did not.
    // Whoever opened the line learns the result from Open's value too; this tells the others
    // (the link that reports it, a window that shows the line's state).
    std::function<void(const QString& Error)> OnOpened;
    // Raised in the owner's thread when a modem line changes; the argument is the driver's
    // event mask (the link reads ModemStatus() itself).
    std::function<void(std::uint32_t Event)> OnModemLines;
    // Raised in the owner's thread when the line went away under the link (the device closed
    // its side, a USB adapter was unplugged): nothing more arrives and writes fail. Reason is
    // the system's word for it. The line stays open until its owner closes it.
    std::function<void(const QString& Reason)> OnHangUp;

protected:
    // Opens the line for Open(): false with the reason in LastError().
    virtual bool OpenLine() = 0;
};
