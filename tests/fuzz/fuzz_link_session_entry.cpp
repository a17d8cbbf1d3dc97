// A link in the middle of a fiscal-memory (Detail) or EPROM upload, fed whatever the line
// brings. The payload after the chunking prefix is read as a list of steps, so the fuzzer
// reaches deep into the session with answers that pass the frame checks:
//   tag%4 == 0  raw bytes: a length byte, then that many bytes as they are
//   tag%4 == 1  a frame: class, code, sequence byte, a length byte (x2), that many data bytes
//   tag%4 == 2  the answer the device should give to the link's last request (same class,
//               code and sequence), with 0..255 or exactly 256 data bytes from the input
//   tag%4 == 3  time passes: a byte times 50 ms, then the link's Tick (frames whose rest is
//               overdue are given up there); with the tag's high nibble 0xF the line hangs
//               up instead
// Everything the line delivers goes through ReceiveBytes in the prefix's chunk sizes.
// Properties: every write of the link is exactly one valid frame; the .hex file never holds
// more bytes than the answers' data fields carried.

#include "fuzz_input.h"
#include "link/bsport.h"
#include "link/frame.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace {

using fuzzinput::Require;

class RecordingTransport : public LinkTransport {
public:
    void SetEndpoint(const QString& Value) override { m_endpoint = Value; }
    QString Endpoint() const override { return m_endpoint; }
    bool OpenLine() override { return m_open = true; }
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }
    QString LastError() const override { return {}; }
    bool Write(const QByteArray& Bytes) override {
        Writes.push_back(Bytes);
        return true;
    }
    bool AgreesBitRate() const override { return !Datagram; }
    bool IsDatagram() const override { return Datagram; }
    void SetBaudRate(int) override {}
    std::uint32_t ModemStatus() const override { return 0; }

    bool Datagram = false; // stands in for the UDP socket
    // The link hands received bytes to ReceiveBytes through OnBytes.
    void Deliver(const QByteArray& Bytes) { OnBytes(Bytes); }

    std::vector<QByteArray> Writes;

private:
    QString m_endpoint;
    bool m_open = false;
};

// The link's timers need an application object, as in the program.
void EnsureApplication() {
    static int argc = 1;
    static char name[] = "fuzz_link_session";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv); // lives for the whole process
}

const QTemporaryDir& WorkDir() {
    static QTemporaryDir dir;
    Require(dir.isValid());
    return dir;
}

DeviceFrame DecodeOne(const QByteArray& Bytes) {
    FrameFinder finder;
    std::vector<FrameEvent> events;
    finder.Feed(Bytes, [&](const FrameEvent& e) { events.push_back(e); });
    Require(events.size() == 1 && events[0].Kind == FrameEventKind::Frame && !finder.InFrame());
    return events[0].Frame;
}

class Reader {
public:
    explicit Reader(const QByteArray& Bytes) : m_bytes(Bytes) {}
    bool AtEnd() const { return m_pos >= m_bytes.size(); }
    std::uint8_t Byte() { return AtEnd() ? 0 : std::uint8_t(m_bytes[m_pos++]); }
    QByteArray Take(qsizetype N) {
        const QByteArray part = m_bytes.mid(m_pos, N);
        m_pos += part.size();
        return part.leftJustified(N, '\0'); // an input that ends early pads with zeros
    }

private:
    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
};

} // namespace

int FuzzLinkSessionOneInput(const std::uint8_t* Data, std::size_t Size) {
    EnsureApplication();
    fuzzinput::Chunking chunking(Data, Size);
    const bool eprom = chunking.PrefixByte(0) & 1;
    const bool overUdp = chunking.PrefixByte(1) & 1;
    const QString path = WorkDir().filePath(QStringLiteral("upload.hex"));
    QFile::remove(path);

    qint64 now = 1000000;
    qint64 dataBytesDelivered = 0;
    {
        TBsPort link;
        link.Clock = [&now] { return now; };
        auto serialOwned = std::make_unique<RecordingTransport>();
        auto udpOwned = std::make_unique<RecordingTransport>();
        RecordingTransport* serial = serialOwned.get();
        RecordingTransport* udp = udpOwned.get();
        udp->Datagram = true;
        link.SetTransport(tmRS232, std::move(serialOwned));
        link.SetTransport(tmTCPIP, std::move(udpOwned));
        link.SetCommName(QStringLiteral("COM1"));
        int results = 0;
        link.OnStatus = [](const QString&, StatusKind) {};
        link.OnSessionResult = [&results](int) { ++results; };
        link.OnProgressDot = [](ProgressDotKind) {};
        link.OnProgressStep = [] {};
        int ends = 0;
        link.OnSessionEnded = [&ends](SessionEnd) { ++ends; };
        link.OnFrameTrace = [](FrameDirection, const QByteArray&) {};
        link.OnResponseVarn = [](TEnumVarnCmd, const DeviceFrame&) {};

        link.EnumVarnCmd = eprom ? H_UPLOAD_EPROM : H_UPLOAD_Detail;
        const QByteArray whole = QByteArray::fromHex("0000012100");
        if (!eprom) {
            std::copy(whole.begin(), whole.end(), link.RequestData.begin());
            link.RequestDataLen = int(whole.size());
        }
        link.StopAfter = 0;
        link.BaudReady = false;
        link.RetriesLeft = 6;
        RecordingTransport* line = serial;
        if (overUdp) {
            link.SetMode(tmTCPIP);
            link.SetIP(QStringLiteral("127.0.0.2"));
            line = udp;
        }
        link.BeginSession(1, kBaudIndex115200, true);
        Require(link.PrepareCommand(path));
        link.SendRequest();
        if (!overUdp) {
            // The device agrees the bit rate; the first upload request follows.
            Require(serial->Writes.size() == 1);
            const DeviceFrame setBaud = DecodeOne(serial->Writes[0]);
            serial->Deliver(EncodeFrame(DeviceFrame{1, 0x80, 0x0E, 0, 0, setBaud.Sequence, {}}));
            now += TBsPort::kBaudSettleMs;
            link.Tick();
        }
        Require(line->Writes.size() == (overUdp ? 1u : 2u));

        auto deliver = [&](const QByteArray& bytes) {
            chunking.Split(bytes, [&](const QByteArray& piece) { line->Deliver(piece); });
        };
        Reader in(chunking.Payload());
        for (int step = 0; step < 4000 && !in.AtEnd(); ++step) {
            const std::uint8_t tag = in.Byte();
            switch (tag % 4) {
            case 0: {
                // Raw bytes may hold whole frames of their own (the fuzzer finds the sums), so
                // every byte of them may end up as data.
                const QByteArray raw = in.Take(in.Byte());
                dataBytesDelivered += raw.size();
                deliver(raw);
                break;
            }
            case 1: {
                DeviceFrame f{1, in.Byte(), in.Byte(), 0, 0, in.Byte(), {}};
                f.Data = in.Take(qsizetype(in.Byte()) * 2);
                dataBytesDelivered += f.Data.size();
                deliver(EncodeFrame(f));
                break;
            }
            case 2: {
                const DeviceFrame req = DecodeOne(line->Writes.back());
                DeviceFrame f{1, req.Class, req.Code, 0, 0, req.Sequence, {}};
                f.Data = in.Take(tag & 4 ? 256 : in.Byte());
                dataBytesDelivered += f.Data.size();
                deliver(EncodeFrame(f));
                break;
            }
            case 3:
                if ((tag & 0xF0) == 0xF0 && line->OnHangUp) {
                    line->OnHangUp(QStringLiteral("hung up"));
                    break;
                }
                now += qint64(in.Byte()) * 50;
                link.Tick();
                break;
            }
        }
        // The session may still be waiting; let it run out the way an owner's wait does.
        for (int k = 0; k < 100 && link.SessionResult() >= 0 && link.SessionResult() < 2; ++k) {
            now += 60000;
            link.Tick();
        }

        for (const RecordingTransport* t : {serial, udp})
            for (const QByteArray& w : t->Writes)
                (void)DecodeOne(w);
        (void)results;
        // Every session reports its end exactly once, and only once it has ended.
        Require(ends == (link.SessionOpen() ? 0 : 1));
        Require(link.SessionOpen() || link.LinkState == '0');
        link.OutputFile().close();
    }
    Require(QFileInfo(path).size() <= dataBytesDelivered);
    QFile::remove(path);
    return 0;
}
