#pragma once

#include "link/frame.h"
#include "sim/device_engine.h"

#include <QByteArray>

#include <vector>

namespace simtest {

// A host request as the link sends it (device address 1).
inline QByteArray Request(std::uint8_t Class, std::uint8_t Code, std::uint8_t P1, std::uint8_t P2,
                          std::uint8_t Seq, const QByteArray& Data = {}) {
    DeviceFrame f;
    f.Address = 1;
    f.Class = Class;
    f.Code = Code;
    f.Param1 = P1;
    f.Param2 = P2;
    f.Sequence = Seq;
    f.Data = Data;
    return EncodeFrame(f);
}

inline QByteArray SetBaud(int Divisor, std::uint8_t Seq = 0) {
    return Request(0x80, 0x00, static_cast<std::uint8_t>(Divisor), 0, Seq);
}

// Fiscal-memory request: block number high byte in parameter 1, low byte in parameter 2.
inline QByteArray FmRequest(std::uint8_t Code, int Block, std::uint8_t Seq,
                            const QByteArray& Data = QByteArray::fromHex("0000012100")) {
    return Request(0x80, Code, static_cast<std::uint8_t>(Block >> 8),
                   static_cast<std::uint8_t>(Block & 0xFF), Seq, Data);
}

// EPROM request: block number low byte in parameter 1, high byte in parameter 2.
inline QByteArray EpromRequest(int Block, std::uint8_t Seq) {
    return Request(0x83, 0x00, static_cast<std::uint8_t>(Block & 0xFF),
                   static_cast<std::uint8_t>(Block >> 8), Seq, QByteArray::fromHex("ffff"));
}

inline std::vector<FrameEvent> Parse(const QByteArray& Wire) {
    FrameFinder finder;
    std::vector<FrameEvent> events;
    finder.Feed(Wire, [&](const FrameEvent& e) { events.push_back(e); });
    return events;
}

inline std::vector<DeviceFrame> ValidFrames(const QByteArray& Wire) {
    std::vector<DeviceFrame> frames;
    for (const auto& e : Parse(Wire)) {
        if (e.Kind == FrameEventKind::Frame)
            frames.push_back(e.Frame);
    }
    return frames;
}

// Bytes 0, 1, 2, ... wrapping, never the end marker 0xA5 (so only the device adds one).
inline QByteArray Pattern(int Size, int Salt = 0) {
    QByteArray b(Size, '\0');
    for (int i = 0; i < Size; ++i) {
        int v = (i * 7 + Salt) % 251;
        if (v == 0xA5)
            v = 0x5A;
        b[i] = static_cast<char>(v);
    }
    return b;
}

} // namespace simtest
