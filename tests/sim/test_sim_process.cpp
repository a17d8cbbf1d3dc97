// The built orvexfm-sim program, driven as a host would: over its pseudo-terminal with plain
// POSIX termios, and over UDP on the loopback network.

#include "link/frame.h"
#include "sim_test_util.h"

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace simtest;

namespace {

// Hang guard only: every wait ends as soon as its data is there.
constexpr int kGuardMs = 10000;

QString SimPath() {
    return QStringLiteral(ORVEXFM_BIN_DIR) + QStringLiteral("/orvexfm-sim");
}

class SimProcess {
public:
    explicit SimProcess(const QStringList& Args) {
        m_process.start(SimPath(), Args);
        m_started = m_process.waitForStarted(kGuardMs);
    }
    ~SimProcess() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kGuardMs);
        }
    }
    bool Started() const { return m_started; }

    QString FirstLine() {
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine() && t.elapsed() < kGuardMs)
            m_process.waitForReadyRead(100);
        return QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }

    // Stops the device as an operator would and returns what it wrote to standard error.
    QString Stop() {
        m_process.terminate(); // SIGTERM
        m_process.waitForFinished(kGuardMs);
        return QString::fromLocal8Bit(m_process.readAllStandardError());
    }
    int ExitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus ExitStatus() const { return m_process.exitStatus(); }

private:
    QProcess m_process;
    bool m_started = false;
};

bool SetLine(int Fd, speed_t Speed) {
    termios tio{};
    if (tcgetattr(Fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, Speed);
    cfsetospeed(&tio, Speed);
    return tcsetattr(Fd, TCSADRAIN, &tio) == 0;
}

// Reads until one whole frame has arrived (or the guard expires).
std::vector<FrameEvent> ReadFrame(int Fd, int WaitMs = kGuardMs) {
    FrameFinder finder;
    std::vector<FrameEvent> events;
    QElapsedTimer t;
    t.start();
    while (events.empty() && t.elapsed() < WaitMs) {
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(Fd, buf, sizeof buf);
        if (n > 0)
            finder.Feed(buf, n, [&](const FrameEvent& e) { events.push_back(e); });
    }
    return events;
}

// The host side of a started device's pseudo-terminal, opened at 9600 bit/s: its path, and
// the descriptor (-1 when the device gave no line or it cannot be opened).
int OpenHostSide(SimProcess& Sim, QByteArray* Path) {
    const QString line = Sim.FirstLine();
    if (!line.startsWith(QStringLiteral("PTY /dev/")))
        return -1;
    *Path = line.mid(4).toLocal8Bit();
    const int fd = open(Path->constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 && !SetLine(fd, B9600)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int Fd, const QByteArray& Bytes) {
    return write(Fd, Bytes.constData(), size_t(Bytes.size())) == Bytes.size();
}

} // namespace

TEST(SimProcess, PtyNegotiatesThenServesDetailAt115200) {
    SimProcess sim({QStringLiteral("--pty"), QStringLiteral("--days"), QStringLiteral("5")});
    ASSERT_TRUE(sim.Started());
    QByteArray path;
    const int fd = OpenHostSide(sim, &path);
    ASSERT_GE(fd, 0) << strerror(errno);

    ASSERT_TRUE(WriteAll(fd, SetBaud(1, 0)));
    auto ack = ReadFrame(fd);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].Kind, FrameEventKind::Frame);
    EXPECT_EQ(ack[0].Frame.Class, 0x80);
    EXPECT_EQ(ack[0].Frame.Code, 0x0E);
    EXPECT_EQ(ack[0].Frame.Sequence, 0);

    // Still at 9600 the host is not heard any more: the device now runs at 115200.
    ASSERT_TRUE(WriteAll(fd, FmRequest(0x10, 0, 1)));
    EXPECT_TRUE(ReadFrame(fd, 600).empty());

    ASSERT_TRUE(SetLine(fd, B115200));
    ASSERT_TRUE(WriteAll(fd, FmRequest(0x10, 0, 2)));
    auto block = ReadFrame(fd);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0].Kind, FrameEventKind::Frame);
    EXPECT_EQ(block[0].Frame.Class, 0x90);
    EXPECT_EQ(block[0].Frame.Code, 0x10);
    EXPECT_EQ(block[0].Frame.Sequence, 2);
    ASSERT_EQ(block[0].Frame.Data.size(), 256);
    // The generated printout starts with the shop's name, centred in 40 characters.
    EXPECT_NE(block[0].Frame.Data.left(40).trimmed(), QByteArray());

    // The host closing its port does not trouble the device: reopen and ask again.
    close(fd);
    const int fd2 = open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd2, 0);
    ASSERT_TRUE(SetLine(fd2, B115200));
    ASSERT_TRUE(WriteAll(fd2, FmRequest(0x10, 0, 3)));
    auto again = ReadFrame(fd2);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].Frame.Data, block[0].Frame.Data);
    close(fd2);

    const QString summary = sim.Stop();
    EXPECT_EQ(sim.ExitStatus(), QProcess::NormalExit);
    EXPECT_EQ(sim.ExitCode(), 0);
    EXPECT_TRUE(summary.contains(QStringLiteral("served 3 requests"))) << summary.toStdString();
    EXPECT_TRUE(summary.contains(QStringLiteral("H_UPLOAD_Detail 2")));
}

// A device told to hang up closes its side of the pseudo-terminal once its answer is out:
// the host reads that answer, then the line ends (a hang-up, as when an adapter is pulled).
TEST(SimProcess, PtyHangUpEndsTheLineAfterTheLastAnswer) {
    SimProcess sim({QStringLiteral("--pty"), QStringLiteral("--hang-up-after"), QStringLiteral("1"),
                    QStringLiteral("--days"), QStringLiteral("5")});
    ASSERT_TRUE(sim.Started());
    QByteArray path;
    const int fd = OpenHostSide(sim, &path);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_TRUE(WriteAll(fd, SetBaud(1, 0)));
    const auto ack = ReadFrame(fd);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].Frame.Code, 0x0E);

    // The hang-up shows as POLLHUP and a read that ends (0 or EIO), within the guard.
    bool hungUp = false;
    QElapsedTimer t;
    t.start();
    while (!hungUp && t.elapsed() < kGuardMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        hungUp = (p.revents & POLLHUP) != 0 || n == 0 || (n < 0 && errno == EIO);
    }
    EXPECT_TRUE(hungUp);
    close(fd);
    // The line is gone: it cannot be opened again.
    EXPECT_LT(open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
    const QString summary = sim.Stop();
    EXPECT_EQ(sim.ExitCode(), 0);
    EXPECT_TRUE(summary.contains(QStringLiteral("; hung up"))) << summary.toStdString();
}

TEST(SimProcess, UdpServesDetailWholeOrInPieces) {
    struct Case {
        const char* what;
        QStringList extra;
        bool pieces;
    };
    const Case cases[] = {{"whole", {}, false},
                          {"split chunks", {QStringLiteral("--split-chunks")}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimProcess sim(QStringList{QStringLiteral("--udp"), QStringLiteral("--bind"),
                                   QStringLiteral("127.0.0.2"), QStringLiteral("--port"),
                                   QStringLiteral("0")} +
                       c.extra);
        ASSERT_TRUE(sim.Started());
        const QString line = sim.FirstLine();
        ASSERT_TRUE(line.startsWith(QStringLiteral("UDP 127.0.0.2:"))) << line.toStdString();
        const quint16 port = line.section(QLatin1Char(':'), 1).toUShort();
        ASSERT_NE(port, 0);

        QUdpSocket host;
        ASSERT_TRUE(host.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        ASSERT_EQ(host.writeDatagram(FmRequest(0x10, 0, 1), QHostAddress("127.0.0.2"), port),
                  FmRequest(0x10, 0, 1).size());

        FrameFinder finder;
        std::vector<FrameEvent> events;
        int datagrams = 0;
        QElapsedTimer t;
        t.start();
        while (events.empty() && t.elapsed() < kGuardMs) {
            if (!host.hasPendingDatagrams() && !host.waitForReadyRead(100))
                continue;
            while (host.hasPendingDatagrams()) {
                const QNetworkDatagram d = host.receiveDatagram();
                ++datagrams;
                EXPECT_EQ(d.senderPort(), port);
                if (c.pieces) {
                    EXPECT_LE(d.data().size(), 64);
                }
                finder.Feed(d.data(), [&](const FrameEvent& e) { events.push_back(e); });
            }
        }
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Kind, FrameEventKind::Frame);
        EXPECT_EQ(events[0].Frame.Code, 0x10);
        EXPECT_EQ(events[0].Frame.Sequence, 1);
        EXPECT_EQ(events[0].Frame.Data.size(), 256);
        if (c.pieces) {
            EXPECT_GE(datagrams, 271 / 64 + 1);
        } else {
            EXPECT_EQ(datagrams, 1);
        }

        const QString summary = sim.Stop();
        EXPECT_TRUE(summary.contains(QStringLiteral("served 1 requests"))) << summary.toStdString();
    }
}

TEST(SimProcess, BadOptionFailsWithAMessage) {
    QProcess p;
    p.start(SimPath(), {QStringLiteral("--only-rate"), QStringLiteral("1234")});
    ASSERT_TRUE(p.waitForFinished(kGuardMs));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("--only-rate"));
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
}

TEST(SimProcess, StopsCleanlyWithItsSummary) {
    enum class How { Interrupt, Terminate, StdinEnds };
    struct Case {
        const char* what;
        How how;
    };
    const Case cases[] = {{"SIGINT", How::Interrupt},
                          {"SIGTERM", How::Terminate},
                          {"end of standard input", How::StdinEnds}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QProcess p;
        QStringList args{QStringLiteral("--udp"), QStringLiteral("--port"), QStringLiteral("0")};
        if (c.how == How::StdinEnds)
            args << QStringLiteral("--exit-on-stdin-eof");
        p.start(SimPath(), args);
        ASSERT_TRUE(p.waitForStarted(kGuardMs));
        QElapsedTimer t;
        t.start();
        while (!p.canReadLine() && t.elapsed() < kGuardMs)
            p.waitForReadyRead(100);
        ASSERT_TRUE(p.readLine().startsWith("UDP "));
        switch (c.how) {
        case How::Interrupt:
            ::kill(static_cast<pid_t>(p.processId()), SIGINT);
            break;
        case How::Terminate:
            p.terminate();
            break;
        case How::StdinEnds:
            p.closeWriteChannel();
            break;
        }
        ASSERT_TRUE(p.waitForFinished(kGuardMs));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_TRUE(p.readAllStandardError().contains("served 0 requests"));
    }
}
