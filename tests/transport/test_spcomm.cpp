#include "transport/serial_speed.h"
#include "transport/spcomm.h"

#include "event_wait.h"
#include "pty_pair.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include <poll.h>
#include <termios.h>

#include <memory>
#include <string>
#include <vector>

namespace {

QByteArray Pattern(int Size, int Seed = 0) {
    QByteArray out(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i)
        out[i] = char((i * 7 + Seed * 13 + i / 251) & 0xFF);
    return out;
}

// What the component handed its owner.
struct Recorder {
    std::vector<QByteArray> Chunks;
    int SendDataEmpty = 0;
    int Hangups = 0;

    QByteArray All() const {
        QByteArray all;
        for (const auto& c : Chunks)
            all += c;
        return all;
    }
    void Attach(TComm& Comm) {
        Comm.OnReceiveData = [this](TComm*, const char* Buffer, std::uint16_t Length) {
            Chunks.emplace_back(Buffer, Length);
        };
        Comm.OnSendDataEmpty = [this](TComm*) { ++SendDataEmpty; };
        Comm.OnRequestHangup = [this](TComm*) { ++Hangups; };
    }
};

// The settings the device link uses: binary data must pass untouched, so no output XON/XOFF.
void LinkSettings(TComm& Comm, const QString& Path) {
    Comm.SetCommName(Path);
    Comm.SetTxContinueOnXoff(false);
    Comm.SetOutx_XonXoffFlow(false);
    Comm.SetDtrControl(TDtrControl::DtrDisable);
    Comm.SetReadIntervalTimeout(1);
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Ok()) << "cannot make a pseudo-terminal";
        LinkSettings(comm, pty.SlavePath());
        rec.Attach(comm);
    }

    termios SlaveSettings() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(pty.Peek(), &t), 0);
        return t;
    }

    speed_t SlaveSpeed() const {
        const termios t = SlaveSettings();
        return ::cfgetospeed(&t);
    }

    PtyPair pty;
    TComm comm;
    Recorder rec;
};

} // namespace

TEST(SerialDevicePath, MapsNamesToDevices) {
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"COM10", "/dev/ttyS9"},
        {"com3", "/dev/ttyS2"},
        {"COM0", "/dev/COM0"}, // no such COM number: stays a plain name that no device has
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"ttyACM1", "/dev/ttyACM1"},
        {"pts/4", "/dev/pts/4"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"/tmp/some file", "/tmp/some file"},
        {"COMX", "/dev/COMX"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SerialDevicePath(QString::fromUtf8(c.name)), QString::fromUtf8(c.path)) << c.name;
}

TEST(SerialLineWatch, ModemEventsFromLineChanges) {
    struct Case {
        std::uint32_t before, after, event;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0, kModemRlsdOn, kModemEventCarrier},
        {kModemRlsdOn, 0, kModemEventCarrier},
        {0, kModemRingOn, kModemEventRing},
        {kModemRingOn, 0, 0}, // the ring ending is not a new ring
        {kModemRingOn, kModemRingOn, 0},
        {0, kModemRingOn | kModemRlsdOn, kModemEventRing | kModemEventCarrier},
        {0, kModemCtsOn, 0}, // CTS or DSR alone raise nothing
        {kModemCtsOn, kModemDsrOn, 0},
        {kModemCtsOn | kModemDsrOn, kModemCtsOn | kModemDsrOn | kModemRlsdOn, kModemEventCarrier},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ModemEventFromLines(c.before, c.after), c.event)
            << std::hex << c.before << " -> " << c.after;
}

TEST(SerialLineWatch, LineErrorsFromGrowingCounters) {
    const LineErrorCounters base{3, 4, 5, 6, 7};
    struct Case {
        LineErrorCounters now;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {{3, 4, 5, 6, 7}, 0},
        {{4, 4, 5, 6, 7}, kLineErrorFrame},
        {{3, 5, 5, 6, 7}, kLineErrorOverrun},
        {{3, 4, 9, 6, 7}, kLineErrorParity},
        {{3, 4, 5, 7, 7}, kLineErrorBreak},
        {{3, 4, 5, 6, 8}, kLineErrorRxOver},
        {{4, 5, 6, 7, 8},
         kLineErrorFrame | kLineErrorOverrun | kLineErrorParity | kLineErrorBreak |
             kLineErrorRxOver},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LineErrorsFromCounters(base, c.now), c.flags);
}

TEST(SerialComponent, DefaultsAndChangedValuesAreKept) {
    TComm comm;
    EXPECT_EQ(comm.CommName(), QStringLiteral("COM2"));
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_FALSE(comm.ParityCheck());
    EXPECT_FALSE(comm.Outx_CtsFlow());
    EXPECT_FALSE(comm.Outx_DsrFlow());
    EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_FALSE(comm.DsrSensitivity());
    EXPECT_TRUE(comm.TxContinueOnXoff());
    EXPECT_TRUE(comm.Outx_XonXoffFlow());
    EXPECT_TRUE(comm.Inx_XonXoffFlow());
    EXPECT_FALSE(comm.ReplaceWhenParityError());
    EXPECT_FALSE(comm.IgnoreNullChar());
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(comm.XonLimit(), 500);
    EXPECT_EQ(comm.XoffLimit(), 500);
    EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
    EXPECT_EQ(comm.Parity(), TParity::None);
    EXPECT_EQ(comm.StopBits(), TStopBits::_1);
    EXPECT_EQ(comm.XonChar(), 0x11);
    EXPECT_EQ(comm.XoffChar(), 0x13);
    EXPECT_EQ(comm.ReplacedChar(), 0x00);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 0u);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_TRUE(comm.SendDataEmpty());
    EXPECT_FALSE(comm.ModemStatus().has_value());

    comm.SetBaudRate(115200);
    comm.SetStopBits(TStopBits::_2);
    comm.SetRtsControl(TRtsControl::RtsTransmissionAvailable);
    comm.SetReadIntervalTimeout(1);
    EXPECT_EQ(comm.BaudRate(), 115200u);
    EXPECT_EQ(comm.StopBits(), TStopBits::_2);
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsTransmissionAvailable);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 1u);
}

TEST_F(SerialPty, OpenAndCloseAreIdempotentAndReopenWorks) {
    comm.ClosePort(); // closed: nothing happens
    EXPECT_FALSE(comm.IsOpen());

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_THROW(comm.OpenPort());
        ASSERT_TRUE(comm.IsOpen());
        EXPECT_EQ(comm.DevicePath(), pty.SlavePath());
        ASSERT_NO_THROW(comm.OpenPort()); // open: nothing happens (no second reader either)
        EXPECT_TRUE(comm.IsOpen());

        const QByteArray in = Pattern(100, round);
        rec.Chunks.clear();
        ASSERT_TRUE(pty.Send(in));
        ASSERT_TRUE(WaitFor([&] { return rec.All().size() >= in.size(); }));
        EXPECT_EQ(rec.All(), in);

        const QByteArray out = Pattern(50, round + 10);
        const qsizetype before = pty.Received().size();
        ASSERT_TRUE(comm.WriteData(out.constData(), std::uint16_t(out.size())));
        ASSERT_TRUE(WaitFor([&] { return pty.Received().size() >= before + out.size(); }));
        EXPECT_EQ(pty.Received().mid(before), out);

        comm.ClosePort();
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_TRUE(comm.DevicePath().isEmpty());
        comm.ClosePort();
        EXPECT_FALSE(comm.IsOpen());
    }
}

TEST_F(SerialPty, WritesArriveWholeAndInOrderAndTheBufferMayBeReused) {
    ASSERT_NO_THROW(comm.OpenPort());
    const int sizes[] = {1, 13, 300, 2048, 2049, 4096, 65535, 7};
    QByteArray expected;
    QByteArray scratch;
    int seed = 0;
    for (int size : sizes) {
        scratch = Pattern(size, ++seed);
        expected += scratch;
        ASSERT_TRUE(comm.WriteData(scratch.constData(), std::uint16_t(size)));
        scratch.fill('\xEE'); // the caller reuses its buffer at once
    }
    EXPECT_FALSE(comm.SendDataEmpty());
    ASSERT_TRUE(WaitFor([&] { return pty.Received().size() >= expected.size(); }));
    ASSERT_TRUE(WaitFor([&] { return comm.SendDataEmpty(); }));
    EXPECT_EQ(pty.Received().size(), expected.size());
    EXPECT_TRUE(pty.Received() == expected) << "bytes lost, reordered or changed";
}

TEST_F(SerialPty, BurstArrivesInOrderedChunksOfAtMost2048) {
    ASSERT_NO_THROW(comm.OpenPort());
    const QByteArray burst = Pattern(5000, 3);
    ASSERT_TRUE(pty.Send(burst));
    ASSERT_TRUE(WaitFor([&] { return rec.All().size() >= burst.size(); }));
    EXPECT_GE(rec.Chunks.size(), 3u);
    for (const auto& chunk : rec.Chunks) {
        EXPECT_GE(chunk.size(), 1);
        EXPECT_LE(chunk.size(), kCommReadChunk);
    }
    EXPECT_TRUE(rec.All() == burst) << "bytes lost, reordered or changed";
}

TEST_F(SerialPty, BinaryBytesPassUntouched) {
    // Every byte value, including CR/LF, the XON/XOFF characters, DEL and the terminal's
    // control characters, must arrive as sent in both directions.
    comm.SetInx_XonXoffFlow(false);
    ASSERT_NO_THROW(comm.OpenPort());
    QByteArray all(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        all[i] = char(i);
    const QByteArray twice = all + all;
    ASSERT_TRUE(pty.Send(twice));
    ASSERT_TRUE(WaitFor([&] { return rec.All().size() >= twice.size(); }));
    EXPECT_TRUE(rec.All() == twice);

    ASSERT_TRUE(comm.WriteData(twice.constData(), std::uint16_t(twice.size())));
    ASSERT_TRUE(WaitFor([&] { return pty.Received().size() >= twice.size(); }));
    EXPECT_TRUE(pty.Received() == twice);
}

TEST_F(SerialPty, IgnoreNullCharDropsReceivedNulBytes) {
    const QByteArray sent("a\0b\0\0c", 6);
    struct Case {
        bool ignore;
        QByteArray expected;
    };
    const Case cases[] = {{false, sent}, {true, QByteArray("abc")}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ignore);
        comm.SetIgnoreNullChar(c.ignore);
        ASSERT_NO_THROW(comm.OpenPort());
        rec.Chunks.clear();
        ASSERT_TRUE(pty.Send(sent));
        ASSERT_TRUE(pty.Send(QByteArray("!")));
        ASSERT_TRUE(WaitFor([&] { return rec.All().endsWith('!'); }));
        EXPECT_EQ(rec.All(), c.expected + "!");
        comm.ClosePort();
    }
}

TEST_F(SerialPty, LineSpeedChangesWhileOpenReachTheLine) {
    ASSERT_NO_THROW(comm.OpenPort());
    EXPECT_EQ(SlaveSpeed(), B9600);

    struct Case {
        std::uint32_t baud;
        speed_t code; // 0: a rate without a classic constant
    };
    const Case cases[] = {
        {115200, B115200}, {1200, B1200}, {57600, B57600}, {115200, B115200},
        {9600, B9600},     {12345, 0},    {250000, 0},     {19200, B19200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        comm.SetBaudRate(c.baud);
        EXPECT_EQ(comm.BaudRate(), c.baud);
        if (c.code != 0) {
            const termios t = SlaveSettings();
            EXPECT_EQ(::cfgetospeed(&t), c.code);
            EXPECT_EQ(::cfgetispeed(&t), c.code);
        }
        EXPECT_EQ(ReadLineSpeed(pty.Peek()).value_or(0), c.baud);
    }

    // Setting the value it already has does nothing: a speed changed behind the component's
    // back stays until a different value is set.
    termios t = SlaveSettings();
    ::cfsetospeed(&t, B300);
    ::cfsetispeed(&t, B300);
    ASSERT_EQ(::tcsetattr(pty.Peek(), TCSANOW, &t), 0);
    comm.SetBaudRate(19200);
    EXPECT_EQ(SlaveSpeed(), B300);
    comm.SetBaudRate(38400);
    EXPECT_EQ(SlaveSpeed(), B38400);

    // Data still flows at the new speed.
    ASSERT_TRUE(pty.Send("ping"));
    ASSERT_TRUE(WaitFor([&] { return rec.All() == "ping"; }));
}

TEST_F(SerialPty, SettingsMadeWhileClosedApplyAtOpen) {
    comm.SetBaudRate(57600);
    ASSERT_NO_THROW(comm.OpenPort());
    EXPECT_EQ(SlaveSpeed(), B57600);
    comm.ClosePort();
    comm.SetBaudRate(4800);
    EXPECT_EQ(SlaveSpeed(), B57600) << "a closed port must not be touched";
    ASSERT_NO_THROW(comm.OpenPort());
    EXPECT_EQ(SlaveSpeed(), B4800);
}

TEST_F(SerialPty, FlowAndModeFlagsFollowTheSettings) {
    ASSERT_NO_THROW(comm.OpenPort());
    {
        const termios t = SlaveSettings();
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "line must be in binary mode";
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
        EXPECT_EQ(t.c_iflag & IXON, 0u) << "the link turns output XON/XOFF off";
        EXPECT_NE(t.c_iflag & IXOFF, 0u) << "input XON/XOFF stays on";
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    }
    struct Case {
        const char* what;
        std::function<void()> change;
        std::function<bool(const termios&)> holds;
    };
    const Case cases[] = {
        {"output XON/XOFF on", [&] { comm.SetOutx_XonXoffFlow(true); },
         [](const termios& t) { return (t.c_iflag & IXON) != 0; }},
        {"input XON/XOFF off", [&] { comm.SetInx_XonXoffFlow(false); },
         [](const termios& t) { return (t.c_iflag & IXOFF) == 0; }},
        {"XON character", [&] { comm.SetXonChar(0x01); },
         [](const termios& t) { return t.c_cc[VSTART] == 0x01; }},
        {"XOFF character", [&] { comm.SetXoffChar(0x02); },
         [](const termios& t) { return t.c_cc[VSTOP] == 0x02; }},
        {"parity check", [&] { comm.SetParityCheck(true); },
         [](const termios& t) { return (t.c_iflag & INPCK) != 0; }},
        {"two stop bits", [&] { comm.SetStopBits(TStopBits::_2); },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"one stop bit", [&] { comm.SetStopBits(TStopBits::_1); },
         [](const termios& t) { return (t.c_cflag & CSTOPB) == 0; }},
    };
    for (const auto& c : cases) {
        c.change();
        EXPECT_TRUE(c.holds(SlaveSettings())) << c.what;
    }
}

TEST_F(SerialPty, ModemLinesOfAPseudoTerminalAreNotAFailure) {
    // A pseudo-terminal has no DTR/RTS/CTS lines and refuses such requests; opening with
    // every DTR/RTS mode must still work, and there is simply no modem status to read.
    const TDtrControl dtrs[] = {TDtrControl::DtrEnable, TDtrControl::DtrDisable,
                                TDtrControl::DtrHandshake};
    const TRtsControl rtss[] = {TRtsControl::RtsEnable, TRtsControl::RtsDisable,
                                TRtsControl::RtsHandshake, TRtsControl::RtsTransmissionAvailable};
    for (auto dtr : dtrs) {
        for (auto rts : rtss) {
            comm.SetDtrControl(dtr);
            comm.SetRtsControl(rts);
            ASSERT_NO_THROW(comm.OpenPort());
            EXPECT_TRUE(comm.IsOpen());
            EXPECT_FALSE(comm.ModemStatus().has_value());
            comm.ClosePort();
        }
    }
}

TEST_F(SerialPty, BadNamesFailWithTheExactTextsAndLeaveThePortReusable) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("plain.bin"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a terminal");
    }
    TComm holder;
    LinkSettings(holder, pty.SlavePath());
    ASSERT_NO_THROW(holder.OpenPort());

    // The text is the component's own; the reason names the device and what the system said.
    struct Case {
        QString name;
        const char* error;
        QString reason; // contained in Reason()
    };
    const QString missing = dir.filePath(QStringLiteral("no-such-device"));
    const Case cases[] = {
        {missing, "Error opening serial port",
         missing + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(ENOENT))},
        {file, "File handle is not a comm handle ", file + QStringLiteral(": not a terminal")},
        // a directory cannot be opened for writing
        {dir.path(), "Error opening serial port",
         dir.path() + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(EISDIR))},
        {QStringLiteral("/dev/null"), "File handle is not a comm handle ",
         QStringLiteral("/dev/null: not a terminal")},
        {QStringLiteral("ttyNoSuchDevice9"), "Error opening serial port",
         QStringLiteral("/dev/ttyNoSuchDevice9: ")},
        {QString(), "Error opening serial port", QStringLiteral("not a serial port name")},
        {pty.SlavePath(), "Error opening serial port",
         pty.SlavePath() + QStringLiteral(": in use by another program")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        comm.SetCommName(c.name);
        try {
            comm.OpenPort();
            ADD_FAILURE() << "opened";
        } catch (const ECommsError& e) {
            EXPECT_EQ(std::string(e.what()), std::string(c.error));
            EXPECT_TRUE(e.Reason().contains(c.reason)) << e.Reason().toStdString();
        }
        EXPECT_FALSE(comm.IsOpen());
        EXPECT_TRUE(comm.DevicePath().isEmpty());
        EXPECT_FALSE(comm.WriteData("x", 1));
    }

    // After the failures the same component opens a free port and works.
    holder.ClosePort();
    comm.SetCommName(pty.SlavePath());
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(pty.Send("ok"));
    ASSERT_TRUE(WaitFor([&] { return rec.All() == "ok"; }));
}

TEST_F(SerialPty, RefusedWritesSendNothing) {
    const char data[] = "abc";
    EXPECT_FALSE(comm.WriteData(data, 3)) << "closed port";
    ASSERT_NO_THROW(comm.OpenPort());
    EXPECT_FALSE(comm.WriteData(data, 0));
    EXPECT_FALSE(comm.WriteData(nullptr, 3));
    EXPECT_TRUE(comm.SendDataEmpty());
    ASSERT_TRUE(comm.WriteData("Z", 1));
    ASSERT_TRUE(WaitFor([&] { return !pty.Received().isEmpty(); }));
    RunEventsFor(50);
    EXPECT_EQ(pty.Received(), QByteArray("Z"));
}

TEST_F(SerialPty, SendDataEmptyFollowsEachOpenAndEachDrainedBurst) {
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == 1; }));

    for (int burst = 1; burst <= 3; ++burst) {
        SCOPED_TRACE(burst);
        const QByteArray a = Pattern(3000, burst);
        const QByteArray b = Pattern(700, burst + 5);
        const qsizetype before = pty.Received().size();
        ASSERT_TRUE(comm.WriteData(a.constData(), std::uint16_t(a.size())));
        ASSERT_TRUE(comm.WriteData(b.constData(), std::uint16_t(b.size())));
        EXPECT_FALSE(comm.SendDataEmpty());
        ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == burst + 1; }));
        EXPECT_TRUE(comm.SendDataEmpty());
        ASSERT_TRUE(WaitFor([&] { return pty.Received().size() == before + a.size() + b.size(); }));
        EXPECT_EQ(pty.Received().mid(before), a + b);
    }
    RunEventsFor(100);
    EXPECT_EQ(rec.SendDataEmpty, 4) << "one notification per drained burst, no more";

    comm.ClosePort();
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == 5; }));
}

TEST_F(SerialPty, AWriteToAnIdleLineReachesTheDriverAtOnceAndDrainedStillComesFromTheLoop) {
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == 1; }));
    const QByteArray request = Pattern(20, 7);
    ASSERT_TRUE(comm.WriteData(request.constData(), std::uint16_t(request.size())));
    // No event is processed from here on: the bytes must already be with the driver.
    pollfd master{pty.Master(), POLLIN, 0};
    ASSERT_EQ(::poll(&master, 1, 2000), 1) << "the request is still queued in the component";
    char buffer[64];
    const ssize_t n = ::read(pty.Master(), buffer, sizeof buffer);
    ASSERT_EQ(n, request.size());
    EXPECT_EQ(QByteArray(buffer, int(n)), request);
    EXPECT_EQ(rec.SendDataEmpty, 1) << "never raised from inside the owner's write";
    ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == 2; }));
}

TEST_F(SerialPty, ClosingDiscardsQueuedWrites) {
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(WaitFor([&] { return rec.SendDataEmpty == 1; }));
    pty.SetReading(false); // the device stops reading: the writes back up

    QByteArray sent;
    for (int i = 0; i < 64; ++i) {
        const QByteArray block = Pattern(4096, i);
        sent += block;
        ASSERT_TRUE(comm.WriteData(block.constData(), std::uint16_t(block.size())));
    }
    RunEventsFor(100); // let the component hand over what the terminal takes
    EXPECT_FALSE(comm.SendDataEmpty()) << "the terminal cannot have taken 256 KiB";
    comm.ClosePort();
    EXPECT_TRUE(comm.SendDataEmpty());

    pty.SetReading(true);
    RunEventsFor(100);
    const QByteArray got = pty.Received();
    EXPECT_LT(got.size(), sent.size());
    EXPECT_TRUE(sent.startsWith(got)) << "what did go out must be in order";
    EXPECT_EQ(rec.SendDataEmpty, 1) << "no notification for discarded writes";

    // The next opening starts clean: nothing of the old queue follows.
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(comm.WriteData("END", 3));
    ASSERT_TRUE(WaitFor([&] { return pty.Received().endsWith("END"); }));
    EXPECT_EQ(pty.Received(), got + "END");
}

TEST_F(SerialPty, ClosingFromInsideTheReceiveHandlerStopsEvents) {
    ASSERT_NO_THROW(comm.OpenPort());
    int calls = 0;
    comm.OnReceiveData = [&](TComm* Sender, const char*, std::uint16_t) {
        ++calls;
        EXPECT_EQ(Sender, &comm);
        Sender->ClosePort();
    };
    ASSERT_TRUE(pty.Send(Pattern(5000)));
    ASSERT_TRUE(WaitFor([&] { return calls >= 1; }));
    RunEventsFor(50);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(comm.IsOpen());
}

TEST_F(SerialPty, DeviceGoneRaisesOneHangupRequestAndThePortStaysOpen) {
    ASSERT_NO_THROW(comm.OpenPort());
    pty.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return rec.Hangups >= 1; }));
    RunEventsFor(50);
    EXPECT_EQ(rec.Hangups, 1);
    EXPECT_FALSE(comm.HangupReason().isEmpty()) << "the system's reason is kept";
    EXPECT_TRUE(comm.IsOpen()) << "the owner decides about closing";
    EXPECT_FALSE(comm.WriteData("x", 1));
    comm.ClosePort();
    EXPECT_FALSE(comm.IsOpen());

    PtyPair other;
    ASSERT_TRUE(other.Ok());
    comm.SetCommName(other.SlavePath());
    ASSERT_NO_THROW(comm.OpenPort());
    ASSERT_TRUE(other.Send("back"));
    ASSERT_TRUE(WaitFor([&] { return rec.All() == "back"; }));
}

TEST(SerialRelease, ReleasingAnOpenComponentClosesThePort) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    {
        auto comm = std::make_unique<TComm>();
        LinkSettings(*comm, pty.SlavePath());
        ASSERT_NO_THROW(comm->OpenPort());
        pty.SetReading(false);
        const QByteArray block = Pattern(4096);
        for (int i = 0; i < 32; ++i)
            ASSERT_TRUE(comm->WriteData(block.constData(), std::uint16_t(block.size())));
        RunEventsFor(20);
    } // released while open with writes queued

    // Nothing of it is left holding the port: another component gets it at once.
    TComm next;
    LinkSettings(next, pty.SlavePath());
    EXPECT_NO_THROW(next.OpenPort());
    EXPECT_TRUE(next.IsOpen());
    RunEventsFor(50); // no stray event of the released component may run now
}

TEST(SerialRelease, ComponentWithOwnerGoesWithIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    auto owner = std::make_unique<QObject>();
    auto* comm = new TComm(owner.get());
    LinkSettings(*comm, pty.SlavePath());
    ASSERT_NO_THROW(comm->OpenPort());
    owner.reset();
    TComm next;
    LinkSettings(next, pty.SlavePath());
    EXPECT_NO_THROW(next.OpenPort());
}

TEST(SerialRelease, ReleasingFromInsideAHandlerIsSafe) {
    // The owner may drop the component from any of its events; nothing of it may be touched
    // afterwards (the sanitizer build watches this).
    enum class Where { Receive, SendEmpty, Hangup };
    for (Where where : {Where::Receive, Where::SendEmpty, Where::Hangup}) {
        SCOPED_TRACE(int(where));
        PtyPair pty;
        ASSERT_TRUE(pty.Ok());
        auto comm = std::make_unique<TComm>();
        LinkSettings(*comm, pty.SlavePath());
        int calls = 0;
        auto release = [&](TComm* Sender) {
            ++calls;
            EXPECT_EQ(Sender, comm.get());
            comm.reset();
        };
        switch (where) {
        case Where::Receive:
            comm->OnReceiveData = [&](TComm* S, const char*, std::uint16_t) { release(S); };
            break;
        case Where::SendEmpty:
            comm->OnSendDataEmpty = [&](TComm* S) { release(S); };
            break;
        case Where::Hangup:
            comm->OnRequestHangup = [&](TComm* S) { release(S); };
            break;
        }
        ASSERT_NO_THROW(comm->OpenPort());
        if (where == Where::Receive) {
            ASSERT_TRUE(pty.Send(Pattern(5000)));
        }
        if (where == Where::Hangup)
            pty.CloseMaster();
        ASSERT_TRUE(WaitFor([&] { return calls >= 1; }));
        RunEventsFor(50);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(comm, nullptr);
    }
}
