// Device frames as the line delivers them: the input (after its 8-byte chunking prefix) goes
// to a FrameFinder once whole and once in the chosen chunks. The finder keeps its state across
// chunks (and searches a failed frame's bytes again), so both must report the same events;
// every reported frame must be what its header and CRC say. Giving up an unfinished frame
// always brings the finder back to idle, ready for the next frame.

#include "fuzz_input.h"
#include "link/crc16.h"
#include "link/frame.h"

#include <vector>

namespace {

using fuzzinput::Require;

struct Seen {
    FrameEventKind Kind;
    DeviceFrame Frame;
    std::uint16_t DataLength;
    std::uint16_t ComputedCrc;
    std::uint16_t ReceivedCrc;
    std::array<std::uint8_t, kFrameHeaderSize> RawHeader;
    bool operator==(const Seen&) const = default;
};

Seen Copy(const FrameEvent& e) {
    return {e.Kind, e.Frame, e.DataLength, e.ComputedCrc, e.ReceivedCrc, e.RawHeader};
}

void CheckEvent(const FrameEvent& e) {
    Require(e.RawHeader[0] == kFrameStart);
    if (e.Kind == FrameEventKind::BadHeaderChecksum) {
        Require(HeaderChecksum(e.RawHeader.data()) != e.RawHeader[12]);
        return;
    }
    Require(HeaderChecksum(e.RawHeader.data()) == e.RawHeader[12]);
    Require(e.DataLength == (e.RawHeader[10] | (e.RawHeader[11] << 8)));
    if (e.Kind == FrameEventKind::Oversize) {
        Require(e.DataLength + 2 > kFrameDataBufferSize);
        return;
    }
    Require(e.DataLength <= kMaxFrameDataLength);
    Require(e.Frame.Data.size() == e.DataLength);
    const std::uint16_t crc =
        e.Frame.Data.isEmpty()
            ? 0
            : Crc16Xmodem(reinterpret_cast<const std::uint8_t*>(e.Frame.Data.constData()),
                          std::size_t(e.Frame.Data.size()));
    if (e.Kind == FrameEventKind::Frame) {
        // A valid frame encodes back to exactly the bytes that were on the line.
        const QByteArray again = EncodeFrame(e.Frame);
        Require(again.size() == kFrameHeaderSize + e.DataLength + (e.DataLength ? 2 : 0));
        Require(std::equal(e.RawHeader.begin(), e.RawHeader.end(),
                           reinterpret_cast<const std::uint8_t*>(again.constData())));
        if (e.DataLength)
            Require(crc == e.ReceivedCrc);
    } else {
        Require(e.Kind == FrameEventKind::BadCrc);
        Require(e.DataLength > 0 && crc == e.ComputedCrc && crc != e.ReceivedCrc);
    }
}

} // namespace

int FuzzFrameOneInput(const std::uint8_t* Data, std::size_t Size) {
    fuzzinput::Chunking chunking(Data, Size);
    const QByteArray& line = chunking.Payload();

    std::vector<Seen> whole;
    FrameFinder a;
    a.Feed(line, [&](const FrameEvent& e) {
        CheckEvent(e);
        whole.push_back(Copy(e));
    });

    std::vector<Seen> chunked;
    FrameFinder b;
    chunking.Split(line, [&](const QByteArray& piece) {
        b.Feed(piece, [&](const FrameEvent& e) { chunked.push_back(Copy(e)); });
    });
    Require(whole == chunked);
    Require(a.InFrame() == b.InFrame());

    // Giving up the frame in progress, again and again, leaves the finder idle within as
    // many steps as it had bytes collected, each step searching one byte fewer; a frame sent
    // after that is found whole and alone.
    const qsizetype collected = a.CollectedBytes();
    Require(collected <= kFrameHeaderSize + kFrameDataBufferSize);
    for (qsizetype steps = 0; a.InFrame(); ++steps) {
        Require(steps < collected);
        const qsizetype before = a.CollectedBytes();
        Require(a.AbandonFrame([&](const FrameEvent& e) { CheckEvent(e); }) == before - 1);
    }
    Require(a.CollectedBytes() == 0 && a.AbandonFrame([](const FrameEvent&) {}) == 0);
    const DeviceFrame probe{1, 0x90, 0x10, 0, 7, 9, QByteArray("probe")};
    std::vector<FrameEvent> after;
    a.Feed(EncodeFrame(probe), [&](const FrameEvent& e) { after.push_back(e); });
    Require(after.size() == 1 && after[0].Kind == FrameEventKind::Frame && after[0].Frame == probe);

    // After Reset the finder starts from scratch: the same bytes give the same events again.
    b.Reset();
    Require(!b.InFrame());
    std::vector<Seen> again;
    b.Feed(line, [&](const FrameEvent& e) { again.push_back(Copy(e)); });
    Require(again == whole);
    return 0;
}
