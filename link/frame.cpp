#include "frame.h"

#include "crc16.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

FrameHeaderBytes DeviceFrame::headerBytes() const {
    return {static_cast<std::uint8_t>(Address & 0xFF),
            static_cast<std::uint8_t>((Address >> 8) & 0xFF),
            static_cast<std::uint8_t>((Address >> 16) & 0xFF),
            static_cast<std::uint8_t>((Address >> 24) & 0xFF),
            Class,
            Code,
            Param1,
            Param2,
            Sequence};
}

DeviceFrame DeviceFrame::fromHeaderBytes(const FrameHeaderBytes& b, QByteArray data) {
    DeviceFrame f;
    f.Address = std::uint32_t(b[0]) | (std::uint32_t(b[1]) << 8) | (std::uint32_t(b[2]) << 16) |
                (std::uint32_t(b[3]) << 24);
    f.Class = b[4];
    f.Code = b[5];
    f.Param1 = b[6];
    f.Param2 = b[7];
    f.Sequence = b[8];
    f.Data = std::move(data);
    return f;
}

std::uint8_t HeaderChecksum(const std::uint8_t* Header, int Count) {
    unsigned sum = 0;
    for (int i = 0; i < Count; ++i)
        sum += Header[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

QByteArray EncodeFrame(const FrameHeaderBytes& Header, const QByteArray& Data) {
    const qsizetype count = Data.size();
    if (count > 0xFFFF)
        return {};
    QByteArray out(kFrameHeaderSize + (count > 0 ? count + 2 : 0), '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(out.data());
    p[0] = kFrameStart;
    for (int i = 0; i < 9; ++i)
        p[1 + i] = Header[i];
    p[10] = static_cast<std::uint8_t>(count & 0xFF);
    p[11] = static_cast<std::uint8_t>((count >> 8) & 0xFF);
    p[12] = HeaderChecksum(p, 12);
    if (count > 0) {
        std::uint16_t crc = 0;
        for (qsizetype i = 0; i < count; ++i) {
            const auto b = static_cast<std::uint8_t>(Data[i]);
            p[kFrameHeaderSize + i] = b;
            Crc16Update(crc, b);
        }
        p[kFrameHeaderSize + count] = static_cast<std::uint8_t>(crc & 0xFF);
        p[kFrameHeaderSize + count + 1] = static_cast<std::uint8_t>(crc >> 8);
    }
    return out;
}

void FrameFinder::Reset() {
    m_state = State::Idle;
    m_headerCount = 0;
    m_data.clear();
    m_dataLength = 0;
    m_rescan.clear();
}

qsizetype FrameFinder::CollectedBytes() const {
    switch (m_state) {
    case State::Idle:
        return 0;
    case State::Header:
        return m_headerCount;
    case State::Data:
        return kFrameHeaderSize + m_data.size();
    }
    return 0;
}

void FrameFinder::Feed(const char* Bytes, qsizetype Count, const Sink& OnEvent) {
    Scan(Bytes, Count, false, OnEvent);
}

qsizetype FrameFinder::AbandonFrame(const Sink& OnEvent) {
    if (m_state == State::Idle)
        return 0;
    const QByteArray tail = TakeCollectedTail();
    Scan(tail.constData(), tail.size(), true, OnEvent);
    return tail.size();
}

QByteArray FrameFinder::TailOfHeader(int Collected) const {
    return QByteArray(reinterpret_cast<const char*>(m_header.data()) + 1, Collected - 1);
}

QByteArray FrameFinder::TakeCollectedTail() {
    QByteArray tail;
    if (m_state == State::Header) {
        tail = TailOfHeader(m_headerCount);
    } else if (m_state == State::Data) {
        tail.reserve(kFrameHeaderSize - 1 + m_data.size());
        tail.append(TailOfHeader(kFrameHeaderSize));
        tail.append(m_data);
    }
    m_state = State::Idle;
    m_headerCount = 0;
    m_data = QByteArray();
    m_dataLength = 0;
    return tail;
}

void FrameFinder::Scan(const char* Bytes, qsizetype Count, bool Again, const Sink& OnEvent) {
    // Bytes a failed frame gives back are searched before the rest of what is being fed, and
    // may give back bytes of their own: a stack of pieces, the innermost on top. Whatever is
    // given back was already taken from the pieces below, less its start byte, so the bytes
    // left to search shrink with every piece and the stack stays bounded.
    struct Piece {
        QByteArray Owned; // empty for the caller's bytes
        const char* Outer = nullptr;
        bool Again = true; // bytes searched once already
        qsizetype Count = 0;
        qsizetype Pos = 0;
        const char* Data() const { return Outer ? Outer : Owned.constData(); }
    };
    std::vector<Piece> pieces;
    pieces.push_back({{}, Bytes, Again, Count, 0});
    while (!pieces.empty()) {
        Piece& top = pieces.back();
        if (top.Pos >= top.Count) {
            pieces.pop_back();
            continue;
        }
        top.Pos += Step(top.Data() + top.Pos, top.Count - top.Pos, top.Again, OnEvent);
        if (!m_rescan.isEmpty()) {
            Piece again;
            again.Owned = std::exchange(m_rescan, QByteArray());
            again.Count = again.Owned.size();
            pieces.push_back(std::move(again));
        }
    }
}

qsizetype FrameFinder::Step(const char* Bytes, qsizetype Count, bool Again, const Sink& OnEvent) {
    switch (m_state) {
    case State::Idle: {
        const void* start = std::memchr(Bytes, kFrameStart, static_cast<std::size_t>(Count));
        if (!start)
            return Count;
        m_header[0] = kFrameStart;
        m_headerCount = 1;
        m_state = State::Header;
        m_startedAgain = Again;
        return static_cast<const char*>(start) - Bytes + 1;
    }
    case State::Header: {
        const qsizetype take = std::min<qsizetype>(kFrameHeaderSize - m_headerCount, Count);
        std::copy(Bytes, Bytes + take, m_header.begin() + m_headerCount);
        m_headerCount += static_cast<int>(take);
        if (m_headerCount == kFrameHeaderSize)
            HeaderComplete(OnEvent);
        return take;
    }
    case State::Data: {
        // Take as much of this chunk as the frame still needs in one go.
        const qsizetype want = (m_dataLength + 2) - m_data.size();
        const qsizetype take = std::min(want, Count);
        m_data.append(Bytes, take);
        if (m_data.size() == m_dataLength + 2)
            DataComplete(OnEvent);
        return take;
    }
    }
    return Count;
}

void FrameFinder::HeaderComplete(const Sink& OnEvent) {
    FrameHeaderBytes hb;
    std::copy(m_header.begin() + 1, m_header.begin() + 10, hb.begin());
    FrameEvent ev;
    ev.Frame = DeviceFrame::fromHeaderBytes(hb);
    ev.DataLength = static_cast<std::uint16_t>(m_header[10] | (m_header[11] << 8));
    ev.RawHeader = m_header;
    m_headerCount = 0;

    if (HeaderChecksum(m_header.data()) != m_header[12]) {
        // Bytes already consumed are not searched again for a start byte, unless the header
        // began in bytes searched again: those must not cost a real frame behind them.
        m_state = State::Idle;
        if (m_startedAgain)
            m_rescan = TailOfHeader(kFrameHeaderSize);
        ev.Kind = FrameEventKind::BadHeaderChecksum;
        OnEvent(ev);
        return;
    }
    m_dataLength = ev.DataLength;
    if (m_dataLength == 0) {
        m_state = State::Idle;
        ev.Kind = FrameEventKind::Frame;
        OnEvent(ev);
        return;
    }
    if (m_dataLength > kMaxFrameDataLength) {
        // Never collect more than the data buffer holds. The header is dropped and the
        // search for the next start byte goes on right after it.
        m_state = State::Idle;
        m_dataLength = 0;
        if (m_startedAgain)
            m_rescan = TailOfHeader(kFrameHeaderSize);
        ev.Kind = FrameEventKind::Oversize;
        OnEvent(ev);
        return;
    }
    m_data.clear();
    m_data.reserve(m_dataLength + 2);
    m_state = State::Data;
}

void FrameFinder::DataComplete(const Sink& OnEvent) {
    FrameHeaderBytes hb;
    std::copy(m_header.begin() + 1, m_header.begin() + 10, hb.begin());
    FrameEvent ev;
    ev.DataLength = static_cast<std::uint16_t>(m_dataLength);
    ev.RawHeader = m_header;
    const auto* d = reinterpret_cast<const std::uint8_t*>(m_data.constData());
    ev.ComputedCrc = Crc16Xmodem(d, static_cast<std::size_t>(m_dataLength));
    ev.ReceivedCrc = static_cast<std::uint16_t>(d[m_dataLength] | (d[m_dataLength + 1] << 8));
    ev.Kind = ev.ComputedCrc == ev.ReceivedCrc ? FrameEventKind::Frame : FrameEventKind::BadCrc;
    if (ev.Kind == FrameEventKind::BadCrc) {
        // Perhaps no frame at all but noise whose header sum happened to fit: the real frames
        // it swallowed are found by searching its bytes again from the one after its start.
        m_rescan.reserve(kFrameHeaderSize - 1 + m_data.size());
        m_rescan.append(TailOfHeader(kFrameHeaderSize));
        m_rescan.append(m_data);
    }
    m_data.truncate(m_dataLength);
    ev.Frame = DeviceFrame::fromHeaderBytes(hb, std::move(m_data));
    m_data = QByteArray();
    m_state = State::Idle;
    m_dataLength = 0;
    OnEvent(ev);
}
