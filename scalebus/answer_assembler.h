#pragma once

// Receive side of the scale bus link, without I/O: takes the bytes of serial chunks or of
// datagrams and tells when a whole answer is here. An answer is either one byte (0x02
// positive, 0x55 negative) or a frame: over a serial line the 7-bit frame whose bytes 1..3
// repeat the request's, over UDP the 259 bytes of the packet whose first three bytes repeat
// the request's (possibly spread over several datagrams).

#include "scalebus/packet.h"

#include <array>
#include <cstdint>

namespace scalebus {

class AnswerAssembler {
public:
    // Receive state values.
    static constexpr int kNothingSeen = -1;
    static constexpr int kArriving = 0;
    static constexpr int kComplete = 1;

    // Start of a wait: nothing seen, position 0, no answer byte.
    void Begin();
    // A frame answer is expected whose first bytes repeat Header (serial: frame bytes 1..3;
    // UDP: packet bytes 0..2); otherwise a single-byte answer is.
    void ExpectFrame(const std::uint8_t* Header);
    void ExpectSingleByte();

    // One received serial chunk.
    void FeedSerial(const std::uint8_t* Bytes, int Length);
    // One received datagram. A datagram longer than the 313-byte receive buffer, or a failed
    // receive (negative length), is dropped whole.
    void FeedDatagram(const std::uint8_t* Bytes, int Length);

    int State() const { return m_state; }
    int Position() const { return m_position; }
    bool FrameExpected() const { return m_frameExpected; }
    std::uint8_t AnswerByte() const { return m_answerByte; }
    // The completed serial frame (valid when State() is kComplete and a frame was expected).
    const std::uint8_t* SerialFrameBytes() const { return m_frame.data(); }
    // The completed UDP packet (259 bytes, no sum).
    const std::uint8_t* PacketBytes() const { return m_packet.data(); }

private:
    bool StartChunk();
    void FindAnswerByte(const std::uint8_t* Bytes, int Length);

    int m_state = kNothingSeen;
    int m_position = 0;
    bool m_frameExpected = false;
    std::array<std::uint8_t, 3> m_header{};
    std::uint8_t m_answerByte = 0;
    std::array<std::uint8_t, kFrameSize> m_frame{};
    std::array<std::uint8_t, kPacketWithSum> m_packet{};
};

} // namespace scalebus
