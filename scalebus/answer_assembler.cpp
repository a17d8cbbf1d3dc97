#include "scalebus/answer_assembler.h"

#include <algorithm>

namespace scalebus {

namespace {
constexpr int kFrameLastPosition = 300; // the end byte
}

void AnswerAssembler::Begin() {
    m_state = kNothingSeen;
    m_position = 0;
    m_answerByte = 0;
}

void AnswerAssembler::ExpectFrame(const std::uint8_t* Header) {
    m_frameExpected = true;
    std::copy(Header, Header + 3, m_header.begin());
}

void AnswerAssembler::ExpectSingleByte() {
    m_frameExpected = false;
}

bool AnswerAssembler::StartChunk() {
    if (m_state > kArriving)
        return false; // the answer is complete; the waiting step has not taken it yet
    m_state = kArriving;
    return true;
}

void AnswerAssembler::FindAnswerByte(const std::uint8_t* Bytes, int Length) {
    for (int i = 0; i < Length; ++i) {
        if (Bytes[i] == kAnswerPositive || Bytes[i] == kAnswerNegative) {
            m_answerByte = Bytes[i];
            m_state = kComplete;
            return;
        }
    }
}

void AnswerAssembler::FeedSerial(const std::uint8_t* Bytes, int Length) {
    if (Length <= 0 || !StartChunk())
        return;
    if (!m_frameExpected) {
        FindAnswerByte(Bytes, Length);
        return;
    }
    for (int i = 0; i < Length; ++i) {
        const std::uint8_t byte = Bytes[i];
        bool accepted;
        if (m_position == 0)
            accepted = byte == kFrameStart;
        else if (m_position <= 3)
            accepted = byte == m_header[m_position - 1];
        else if (m_position < kFrameLastPosition)
            accepted = (byte & 0x80) != 0;
        else
            accepted = byte == kFrameEnd;

        if (!accepted) {
            // A byte that breaks the frame restarts assembly; it may itself begin the next one.
            m_position = 0;
            if (byte == kFrameStart)
                m_frame[m_position++] = byte;
            continue;
        }
        m_frame[m_position] = byte;
        if (m_position == kFrameLastPosition) {
            m_state = kComplete;
            m_position = 0;
            return; // the rest of the chunk (the trailer, noise) is not part of this answer
        }
        ++m_position;
    }
}

void AnswerAssembler::FeedDatagram(const std::uint8_t* Bytes, int Length) {
    // Checked before anything changes: such a datagram is not an answer of this link and must
    // not reach the buffers.
    if (Length <= 0 || Length > kUdpBufferSize)
        return;
    if (!StartChunk())
        return;
    if (!m_frameExpected) {
        FindAnswerByte(Bytes, Length);
        return;
    }
    for (int i = 0; i < Length; ++i) {
        if (m_position < 3 && Bytes[i] != m_header[m_position])
            return; // not the answer to this request: the rest of the datagram is dropped
        m_packet[m_position] = Bytes[i];
        if (m_position == kPacketSize - 1) {
            m_state = kComplete;
            m_position = 0;
            return;
        }
        ++m_position;
    }
}

} // namespace scalebus
