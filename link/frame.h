#pragma once

#include <QByteArray>

#include <array>
#include <cstdint>
#include <functional>

// The device frame: a 13-byte header, then (when the length is not zero) the data field
// and its CRC-16/XMODEM, least significant byte first.
//
//   0     start byte 0xAA
//   1..4  device address, least significant byte first
//   5     class      6 code      7 parameter 1      8 parameter 2      9 sequence
//   10,11 data length N, least significant byte first
//   12    header checksum: sum of bytes 0..11 modulo 256
//   13..  N data bytes, then the CRC (only when N > 0)
inline constexpr std::uint8_t kFrameStart = 0xAA;
inline constexpr int kFrameHeaderSize = 13;
// A link collects data and CRC in a 4096-byte buffer; longer frames are dropped at the header.
inline constexpr int kFrameDataBufferSize = 4096;
inline constexpr int kMaxFrameDataLength = kFrameDataBufferSize - 2;
// Requests are built in a 4096-byte work buffer: 13 header + N data + 2 CRC.
inline constexpr int kMaxRequestDataLength = kFrameDataBufferSize - kFrameHeaderSize - 2;

// Header bytes 1..9 of a frame as a command template gives them.
using FrameHeaderBytes = std::array<std::uint8_t, 9>;

struct DeviceFrame {
    std::uint32_t Address = 0;
    std::uint8_t Class = 0;
    std::uint8_t Code = 0;
    std::uint8_t Param1 = 0;
    std::uint8_t Param2 = 0;
    std::uint8_t Sequence = 0;
    QByteArray Data;

    FrameHeaderBytes headerBytes() const;
    static DeviceFrame fromHeaderBytes(const FrameHeaderBytes& bytes, QByteArray data = {});
    bool operator==(const DeviceFrame&) const = default;
};

std::uint8_t HeaderChecksum(const std::uint8_t* Header, int Count = 12);

// Builds the wire bytes of a frame. Data longer than the 16-bit length field allows yields an
// empty array; the link's own requests are further limited to kMaxRequestDataLength.
QByteArray EncodeFrame(const FrameHeaderBytes& Header, const QByteArray& Data);
inline QByteArray EncodeFrame(const DeviceFrame& Frame) {
    return EncodeFrame(Frame.headerBytes(), Frame.Data);
}

// What the frame finder saw. Every event but BadHeaderChecksum ends a whole frame on the
// wire; BadCrc and Oversize frames are dropped. A frame whose CRC fails may have been a false
// header in noise that swallowed real frames: its bytes after the start byte are searched
// again, so those frames are still reported (after the BadCrc event).
enum class FrameEventKind {
    Frame,             // a valid frame
    BadHeaderChecksum, // header dropped; searching resumes after it
    BadCrc,            // header valid, data CRC wrong
    Oversize,          // header valid, but N + 2 exceeds the data buffer: header dropped
};

struct FrameEvent {
    FrameEventKind Kind = FrameEventKind::Frame;
    DeviceFrame Frame;             // header fields always; data only for Frame and BadCrc
    std::uint16_t DataLength = 0;  // N from the header
    std::uint16_t ComputedCrc = 0; // BadCrc: CRC over the received data
    std::uint16_t ReceivedCrc = 0; // Frame, BadCrc: the CRC field as the device sent it
    std::array<std::uint8_t, kFrameHeaderSize> RawHeader{}; // the 13 header bytes as received
};

// Incremental frame finder: feed it received bytes in chunks of any size; it keeps its
// state across chunks and reports each frame (or dropped frame) once it is complete.
class FrameFinder {
public:
    using Sink = std::function<void(const FrameEvent&)>;

    void Feed(const char* Bytes, qsizetype Count, const Sink& OnEvent);
    void Feed(const QByteArray& Bytes, const Sink& OnEvent) {
        Feed(Bytes.constData(), Bytes.size(), OnEvent);
    }
    void Reset();

    // True while a frame is partly collected.
    bool InFrame() const { return m_state != State::Idle; }
    // True once a valid header announced data that has not all arrived yet; the data length
    // it announced, so a caller can tell how long the rest may take at its line rate.
    bool CollectingData() const { return m_state == State::Data; }
    int PendingDataLength() const { return m_state == State::Data ? m_dataLength : 0; }
    // Bytes of the frame in progress collected so far (start byte included); 0 when idle.
    qsizetype CollectedBytes() const;

    // The frame in progress is overdue (its bytes stopped coming): drop its start byte and
    // search the bytes collected after it again, reporting what they hold as Feed would.
    // Returns the number of bytes searched again; 0 (and nothing changes) when idle.
    qsizetype AbandonFrame(const Sink& OnEvent);
    // Data and CRC bytes the frame being collected still lacks; 0 outside a frame's data.
    int DataStillMissing() const {
        return m_state == State::Data ? int(m_dataLength + 2 - m_data.size()) : 0;
    }

private:
    enum class State { Idle, Header, Data };

    // Feeds bytes with the rescans a failed frame asks for, without recursion.
    // Again: the bytes were searched once already (a failed frame gave them back).
    void Scan(const char* Bytes, qsizetype Count, bool Again, const Sink& OnEvent);
    // Takes bytes from Bytes for the current state; returns how many it used.
    qsizetype Step(const char* Bytes, qsizetype Count, bool Again, const Sink& OnEvent);
    void HeaderComplete(const Sink& OnEvent);
    void DataComplete(const Sink& OnEvent);
    // The collected bytes after the start byte; the finder goes back to idle.
    QByteArray TakeCollectedTail();
    QByteArray TailOfHeader(int Collected) const; // header bytes 1..Collected-1

    State m_state = State::Idle;
    std::array<std::uint8_t, kFrameHeaderSize> m_header{};
    int m_headerCount = 0;
    QByteArray m_data; // data bytes followed by the two CRC bytes
    int m_dataLength = 0;
    QByteArray m_rescan;         // bytes a failed frame left to be searched again
    bool m_startedAgain = false; // the frame in progress began in bytes searched again
};
