#pragma once

// Test doubles for the device link: a transport that records what the link writes (with the
// line rate in force at the time) and lets a test hand the link answer bytes in any chunking,
// plus a fixture with a hand-stepped clock.

#include "link/bsport.h"
#include "link/frame.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

class FakeTransport : public LinkTransport {
public:
    struct Written {
        QByteArray Bytes;
        int BitRate = 0;
    };

    void SetEndpoint(const QString& Value) override { EndpointValue = Value; }
    QString Endpoint() const override { return EndpointValue; }
    bool OpenLine() override {
        ++Opens;
        if (FailOpen)
            return false;
        OpenFlag = true;
        return true;
    }
    void Close() override {
        if (OpenFlag)
            ++Closes;
        OpenFlag = false;
    }
    bool IsOpen() const override { return OpenFlag; }
    QString LastError() const override { return FailOpen ? QStringLiteral("no such port") : ""; }
    bool Write(const QByteArray& Bytes) override {
        Writes.push_back({Bytes, BitRate});
        return true;
    }
    bool AgreesBitRate() const override { return !Datagram; }
    bool IsDatagram() const override { return Datagram; }
    void SetBaudRate(int BitsPerSecond) override { BitRate = BitsPerSecond; }
    std::uint32_t ModemStatus() const override { return Modem; }
    void DiscardInput() override {
        ++Discards;
        Waiting.clear();
    }

    // Bytes that have reached the line but not the link yet (a datagram on the socket, bytes
    // in the driver's queue); DeliverWaiting hands them over, DiscardInput drops them.
    void Arrive(const QByteArray& Bytes) { Waiting.push_back(Bytes); }
    void DeliverWaiting() {
        std::vector<QByteArray> pending;
        pending.swap(Waiting);
        for (const QByteArray& b : pending)
            OnBytes(b);
    }

    // Hands Bytes to the link in chunks of the given sizes (cycled).
    void Deliver(const QByteArray& Bytes, const std::vector<int>& Sizes = {}) {
        if (Sizes.empty()) {
            OnBytes(Bytes);
            return;
        }
        std::size_t k = 0;
        for (qsizetype pos = 0; pos < Bytes.size();) {
            const qsizetype n =
                std::min<qsizetype>(std::max(1, Sizes[k++ % Sizes.size()]), Bytes.size() - pos);
            OnBytes(Bytes.mid(pos, n));
            pos += n;
        }
    }

    QString EndpointValue;
    bool Datagram = false; // stands in for a UDP socket
    bool OpenFlag = false;
    bool FailOpen = false;
    int Opens = 0;
    int Closes = 0;
    int BitRate = 0;
    std::uint32_t Modem = 0;
    std::vector<Written> Writes;
    std::vector<QByteArray> Waiting;
    int Discards = 0;
};

// Decodes one frame the link wrote (each write is exactly one frame).
inline DeviceFrame DecodeWrite(const QByteArray& Bytes) {
    FrameFinder finder;
    std::vector<FrameEvent> events;
    finder.Feed(Bytes, [&](const FrameEvent& e) { events.push_back(e); });
    EXPECT_EQ(events.size(), 1u) << Bytes.toHex(' ').constData();
    if (events.size() != 1)
        return {};
    EXPECT_EQ(events[0].Kind, FrameEventKind::Frame);
    return events[0].Frame;
}

inline DeviceFrame Answer(std::uint8_t Class, std::uint8_t Code, std::uint8_t Seq,
                          QByteArray Data = {}, std::uint8_t P1 = 0, std::uint8_t P2 = 0) {
    return DeviceFrame{1, Class, Code, P1, P2, Seq, std::move(Data)};
}
// Request data of a whole-memory Detail or Summary upload (Z 1 to 2100).
inline QByteArray WholeRequest() {
    return QByteArray::fromHex("0000012100");
}
inline QByteArray Ack(std::uint8_t Seq) {
    return EncodeFrame(Answer(0x80, 0x0E, Seq));
}
inline QByteArray Refusal(std::uint8_t Seq) {
    return EncodeFrame(Answer(0x80, 0x0D, Seq));
}

// A 256-byte packet whose bytes depend on Index; with End the end marker sits at Position.
inline QByteArray PacketData(int Index, bool End = false, int Position = 254, int Size = 256) {
    QByteArray d(Size, '\0');
    for (int i = 0; i < Size; ++i)
        d[i] = static_cast<char>((Index * 31 + i * 7 + 1) & 0xFF);
    for (int i = 0; i < Size; ++i)
        if (static_cast<std::uint8_t>(d[i]) == 0xA5)
            d[i] = 0x5A; // keep stray end markers out of ordinary packets
    if (End)
        d[Position] = static_cast<char>(0xA5);
    return d;
}

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        link.Clock = [this] { return now; };
        auto s = std::make_unique<FakeTransport>();
        auto u = std::make_unique<FakeTransport>();
        u->Datagram = true;
        serial = s.get();
        udp = u.get();
        link.SetTransport(tmRS232, std::move(s));
        link.SetTransport(tmTCPIP, std::move(u));
        link.SetCommName(QStringLiteral("COM1"));
        serial->Open();
        link.OnStatus = [this](const QString& t, StatusKind k) {
            if (k != StatusKind::ReceivedChunk)
                statuses.push_back(t);
        };
        link.OnSessionResult = [this](int r) { results.push_back(r); };
        link.OnProgressDot = [this](ProgressDotKind k) {
            (k == ProgressDotKind::Limited ? limitedDots : unlimitedDots)++;
        };
        link.OnProgressStep = [this] { ++steps; };
        link.OnSessionEnded = [this](SessionEnd e) {
            ends.push_back(e);
            // A refused upload is reported to its owner, who stops the upload.
            if (e == SessionEnd::Refused) {
                ++refusedEvents;
                ++stopRequests;
            }
        };
    }

    QString FilePath(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }

    FakeTransport& Line() { return link.Mode() == tmRS232 ? *serial : *udp; }
    std::size_t WriteCount() { return Line().Writes.size(); }
    DeviceFrame LastRequest() { return DecodeWrite(Line().Writes.back().Bytes); }

    void Advance(qint64 ms) {
        now += ms;
        link.Tick();
    }

    bool HasStatus(const QString& text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }

    // Runs the owner's start sequence on a serial link and has the device agree the rate:
    // afterwards the first request of Cmd is on the line.
    void StartSerialUpload(TEnumVarnCmd Cmd, const QString& File,
                           const QByteArray& RequestData = {}) {
        link.EnumVarnCmd = Cmd;
        std::copy(RequestData.begin(), RequestData.end(), link.RequestData.begin());
        link.RequestDataLen = static_cast<int>(RequestData.size());
        link.StopAfter = 0;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(File));
        link.SendRequest();
        ASSERT_EQ(serial->Writes.size(), 1u); // only H_SETBAUD so far
        serial->Deliver(Ack(0));
        ASSERT_TRUE(link.BaudReady);
        Advance(TBsPort::kBaudSettleMs);
        ASSERT_EQ(serial->Writes.size(), 2u);
    }

    QByteArray ReadFile(const QString& path) {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        return f.readAll();
    }

    QTemporaryDir Dir;
    qint64 now = 100000;
    TBsPort link;
    FakeTransport* serial = nullptr;
    FakeTransport* udp = nullptr;
    std::vector<QString> statuses;
    std::vector<int> results;
    int limitedDots = 0;
    int unlimitedDots = 0;
    int steps = 0;
    std::vector<SessionEnd> ends;
    int refusedEvents = 0;
    int stopRequests = 0;
};

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << s.toStdString();
}
