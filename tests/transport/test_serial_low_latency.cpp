#include "transport/serial_low_latency.h"
#include "transport/spcomm.h"

#include "event_wait.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A serial driver played in memory: the state TIOCGSERIAL reports and every TIOCSSERIAL the
// code under test made. The calls are plain function pointers, so the fake lives in a global.
struct FakeDriver {
    serial_struct Info{};
    bool GetRefuses = false;
    bool SetRefuses = false;
    std::vector<int> GetFds;
    std::vector<serial_struct> Sets;
    std::vector<int> SetFds;
};
FakeDriver gDriver;

int FakeGet(int Fd, serial_struct* Info) {
    gDriver.GetFds.push_back(Fd);
    if (gDriver.GetRefuses)
        return -1;
    *Info = gDriver.Info;
    return 0;
}

int FakeSet(int Fd, const serial_struct* Info) {
    gDriver.SetFds.push_back(Fd);
    gDriver.Sets.push_back(*Info);
    if (gDriver.SetRefuses)
        return -1;
    gDriver.Info = *Info;
    return 0;
}

// Puts the fake in place for one test and the system calls back afterwards.
class FakeSerialDriver : public ::testing::Test {
protected:
    void SetUp() override {
        gDriver = FakeDriver{};
        // A driver with a few settings of its own that must survive untouched.
        gDriver.Info.type = PORT_16550A;
        gDriver.Info.baud_base = 115200;
        gDriver.Info.custom_divisor = 7;
        gDriver.Info.flags = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
        m_before = ReplaceSerialInfoCalls({FakeGet, FakeSet});
    }
    void TearDown() override { ReplaceSerialInfoCalls(m_before); }

    static constexpr int kFd = 41;

private:
    SerialInfoCalls m_before{};
};

} // namespace

TEST_F(FakeSerialDriver, SwitchesLowLatencyOnAndBackKeepingEverythingElse) {
    const int others = gDriver.Info.flags;
    SerialLowLatency line;
    EXPECT_TRUE(line.Request(kFd));
    ASSERT_EQ(gDriver.Sets.size(), 1u);
    EXPECT_EQ(gDriver.SetFds[0], kFd);
    EXPECT_EQ(gDriver.Info.flags, others | ASYNC_LOW_LATENCY);
    EXPECT_EQ(gDriver.Info.baud_base, 115200);
    EXPECT_EQ(gDriver.Info.custom_divisor, 7);
    EXPECT_EQ(gDriver.Info.type, PORT_16550A);
    EXPECT_TRUE(line.Changed());

    // Someone else changed a flag while the line was open: only ours goes back.
    gDriver.Info.flags |= ASYNC_SPD_VHI;
    line.Restore();
    ASSERT_EQ(gDriver.Sets.size(), 2u);
    EXPECT_EQ(gDriver.SetFds[1], kFd);
    EXPECT_EQ(gDriver.Info.flags, others | ASYNC_SPD_VHI);
    EXPECT_EQ(gDriver.Info.custom_divisor, 7);
    EXPECT_FALSE(line.Changed());

    // A second restore has nothing left to give back.
    line.Restore();
    EXPECT_EQ(gDriver.Sets.size(), 2u);
}

TEST_F(FakeSerialDriver, LinesThatCannotOrNeedNotChangeAreLeftAlone) {
    struct Case {
        const char* what;
        bool alreadyLow;
        bool getRefuses;
        bool setRefuses;
        bool lowAfter;     // what RequestSerialLowLatency answers
        size_t setsBefore; // TIOCSSERIAL calls made by the request
    };
    const Case cases[] = {
        {"already low latency", true, false, false, true, 0},
        {"driver without TIOCGSERIAL", false, true, false, false, 0},
        {"driver refuses the flag", false, false, true, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        gDriver.Sets.clear();
        gDriver.Info.flags = ASYNC_SKIP_TEST | (c.alreadyLow ? ASYNC_LOW_LATENCY : 0);
        gDriver.GetRefuses = c.getRefuses;
        gDriver.SetRefuses = c.setRefuses;
        const int flagsBefore = gDriver.Info.flags;

        SerialLowLatency line;
        EXPECT_EQ(line.Request(kFd), c.lowAfter);
        EXPECT_EQ(gDriver.Sets.size(), c.setsBefore);
        EXPECT_EQ(gDriver.Info.flags, flagsBefore);
        EXPECT_FALSE(line.Changed());

        // Closing such a line asks the driver nothing and leaves its flags as they were.
        line.Restore();
        EXPECT_EQ(gDriver.Sets.size(), c.setsBefore);
        EXPECT_EQ(gDriver.Info.flags, flagsBefore);
    }
}

TEST_F(FakeSerialDriver, AnAdapterUnpluggedBeforeCloseIsForgotten) {
    SerialLowLatency line;
    ASSERT_TRUE(line.Request(kFd));
    gDriver.GetRefuses = true;
    line.Restore();
    EXPECT_EQ(gDriver.Sets.size(), 1u); // only the request's
    EXPECT_FALSE(line.Changed());
}

TEST_F(FakeSerialDriver, TheSerialComponentAsksOnOpenAndRestoresOnClose) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << "cannot make a pseudo-terminal";
    TComm comm;
    comm.SetCommName(pty.SlavePath());
    comm.OpenPort();
    ASSERT_TRUE(comm.IsOpen());
    ASSERT_EQ(gDriver.SetFds.size(), 1u);
    const int fd = gDriver.SetFds[0];
    EXPECT_TRUE(gDriver.Info.flags & ASYNC_LOW_LATENCY);

    comm.ClosePort();
    ASSERT_EQ(gDriver.SetFds.size(), 2u);
    EXPECT_EQ(gDriver.SetFds[1], fd);
    EXPECT_FALSE(gDriver.Info.flags & ASYNC_LOW_LATENCY);

    // What the first opening changed is forgotten with it: a line that someone else has put
    // in low latency meanwhile is neither asked again nor switched back by the next close.
    gDriver.Info.flags |= ASYNC_LOW_LATENCY;
    comm.OpenPort();
    ASSERT_TRUE(comm.IsOpen());
    comm.ClosePort();
    EXPECT_EQ(gDriver.SetFds.size(), 2u);
    EXPECT_TRUE(gDriver.Info.flags & ASYNC_LOW_LATENCY);
}

namespace {

// The system's calls, counting the changes the driver accepted.
int gSystemSetsDone = 0;
int CountingSystemSet(int Fd, const serial_struct* Info) {
    const int result = SystemSerialInfoCalls().Set(Fd, Info);
    if (result == 0)
        ++gSystemSetsDone;
    return result;
}

} // namespace

// A pseudo-terminal does not know the request: the line works as before and nothing is left
// to restore, open after open.
TEST(SerialLowLatency, APseudoTerminalRefusesQuietlyAndStillCarriesData) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << "cannot make a pseudo-terminal";
    SerialLowLatency line;
    EXPECT_FALSE(line.Request(pty.Peek()));
    EXPECT_FALSE(line.Changed());

    gSystemSetsDone = 0;
    const SerialInfoCalls before =
        ReplaceSerialInfoCalls({SystemSerialInfoCalls().Get, CountingSystemSet});
    struct PutBack {
        SerialInfoCalls Calls;
        ~PutBack() { ReplaceSerialInfoCalls(Calls); }
    } putBack{before};

    TComm comm;
    comm.SetCommName(pty.SlavePath());
    QByteArray received;
    comm.OnReceiveData = [&received](TComm*, const char* Buffer, std::uint16_t Length) {
        received.append(Buffer, Length);
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        received.clear();
        comm.OpenPort();
        ASSERT_TRUE(comm.IsOpen());
        ASSERT_EQ(gSystemSetsDone, 0);
        ASSERT_TRUE(pty.Send(QByteArray("\xAA\x01\x02", 3)));
        EXPECT_TRUE(WaitFor([&] { return received.size() == 3; }));
        EXPECT_EQ(received, QByteArray("\xAA\x01\x02", 3));
        const char ping = 0x55;
        EXPECT_TRUE(comm.WriteData(&ping, 1));
        EXPECT_TRUE(WaitFor([&] { return pty.Received().endsWith(ping); }));
        comm.ClosePort();
        EXPECT_FALSE(comm.IsOpen());
    }
}
