// The adapters onto the real transports: a pseudo-terminal for the serial line, loopback
// sockets for UDP.

#include "link/bsport.h"
#include "link/default_transports.h"
#include "link/frame.h"
#include "link/serial_link_transport.h"
#include "link/udp_link_transport.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkProxyFactory>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>

namespace {

// Lets events run until Done() holds; the limit only guards against a hang.
bool WaitFor(const std::function<bool()>& Done, int LimitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!Done()) {
        if (t.elapsed() > LimitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

TEST(SerialLinkTransport, CarriesBytesBothWaysOverAPseudoTerminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));

    SerialLinkTransport line;
    QByteArray received;
    line.OnBytes = [&](const QByteArray& b) { received += b; };
    line.SetEndpoint(slave);
    EXPECT_EQ(line.Endpoint(), slave);
    ASSERT_TRUE(line.Open()) << line.LastError().toStdString();
    EXPECT_TRUE(line.IsOpen());
    line.SetBaudRate(115200);

    const QByteArray frame = QByteArray::fromHex("aa01000000800001000000002c");
    ASSERT_TRUE(line.Write(frame));
    QByteArray atDevice;
    ASSERT_TRUE(WaitFor([&] {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                atDevice.append(buf, n);
        }
        return atDevice.size() >= frame.size();
    }));
    EXPECT_EQ(atDevice, frame);

    const QByteArray answer = QByteArray::fromHex("aa010000008000e000000000") + "\x39";
    ASSERT_EQ(::write(master, answer.constData(), answer.size()), answer.size());
    ASSERT_TRUE(WaitFor([&] { return received.size() >= answer.size(); }));
    EXPECT_EQ(received, answer);

    line.Close();
    EXPECT_FALSE(line.IsOpen());
    EXPECT_FALSE(line.Write(frame));
    ::close(master);

    SerialLinkTransport missing;
    missing.SetEndpoint(QStringLiteral("/dev/orvexfm-no-such-port"));
    EXPECT_FALSE(missing.Open());
    // The component's text, then the system's reason for the operator.
    EXPECT_EQ(missing.LastError(),
              QStringLiteral("Error opening serial port (/dev/orvexfm-no-such-port: %1)")
                  .arg(QString::fromLocal8Bit(std::strerror(ENOENT))));
}

// The device closes its side of the line (an adapter pulled out looks the same): the line
// reports one hang-up with the system's reason, stops watching the dead descriptor (a
// notifier left on it would wake the loop without end) and refuses writes until closed.
TEST(SerialLinkTransport, ReportsAHangUpOnceAndStopsWatchingTheDeadLine) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);

    SerialLinkTransport line;
    QByteArray received;
    std::vector<QString> hangUps;
    line.OnBytes = [&](const QByteArray& b) { received += b; };
    line.OnHangUp = [&](const QString& Reason) { hangUps.push_back(Reason); };
    line.SetEndpoint(QString::fromLocal8Bit(::ptsname(master)));
    ASSERT_TRUE(line.Open()) << line.LastError().toStdString();

    // What the device sent before it went away still arrives.
    ASSERT_EQ(::write(master, "abc", 3), 3);
    ASSERT_TRUE(WaitFor([&] { return received.size() == 3; }));
    ::close(master);
    ASSERT_TRUE(WaitFor([&] { return !hangUps.empty(); }));
    EXPECT_FALSE(hangUps[0].isEmpty()) << "the system's reason";
    EXPECT_EQ(line.LastError(), hangUps[0]);

    // Idle from now on: the loop sleeps instead of being woken by the dead descriptor.
    int wakeUps = 0;
    const auto counting = QObject::connect(QAbstractEventDispatcher::instance(),
                                           &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    QEventLoop quiet;
    QTimer::singleShot(200, &quiet, &QEventLoop::quit);
    quiet.exec();
    QObject::disconnect(counting);
    EXPECT_LT(wakeUps, 50) << "a hung-up descriptor keeps waking the event loop";
    EXPECT_EQ(hangUps.size(), 1u);
    EXPECT_EQ(received, QByteArray("abc"));

    EXPECT_TRUE(line.IsOpen()) << "its owner closes it";
    EXPECT_FALSE(line.Write(QByteArray("x")));
    line.Close();
    EXPECT_FALSE(line.IsOpen());
}

// The link's local port is its own while it is open: a second link asking for the number
// fails to open and is told who holds it, while a device on another loopback address still
// binds the same number (as the simulator and the relay do).
TEST(UdpLinkTransport, HoldsItsLocalPortWhileOpen) {
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    int port = 0;
    {
        QUdpSocket probe;
        ASSERT_TRUE(probe.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
        port = probe.localPort();
    }
    UdpLinkTransport first(port, port);
    first.SetEndpoint(QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(first.Open()) << first.LastError().toStdString();
    EXPECT_EQ(first.BoundPort(), port);

    QUdpSocket device;
    EXPECT_TRUE(device.bind(QHostAddress(QStringLiteral("127.0.0.2")), quint16(port),
                            QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint))
        << device.errorString().toStdString();

    UdpLinkTransport second(port, port);
    second.SetEndpoint(QStringLiteral("127.0.0.2"));
    EXPECT_FALSE(second.Open());
    EXPECT_FALSE(second.IsOpen());
    const QString why = second.LastError();
    EXPECT_TRUE(why.contains(QStringLiteral("UDP port %1 is in use by").arg(port)))
        << why.toStdString();
    EXPECT_TRUE(why.contains(QStringLiteral("process %1").arg(QCoreApplication::applicationPid())))
        << why.toStdString();

    // A link on another port is not affected, and the port is free again once let go.
    UdpLinkTransport other(port, 0);
    EXPECT_TRUE(other.Open()) << other.LastError().toStdString();
    first.Close();
    EXPECT_TRUE(second.Open()) << second.LastError().toStdString();
    EXPECT_EQ(second.BoundPort(), port);
}

TEST(UdpLinkTransport, AcceptsAnswersOnlyFromTheDevice) {
    // Loopback needs no proxy; the system proxy lookup would only add a helper thread.
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QUdpSocket device;
    ASSERT_TRUE(device.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    QUdpSocket stranger;
    ASSERT_TRUE(stranger.bind(QHostAddress(QStringLiteral("127.0.0.3")), 0));

    UdpLinkTransport link(device.localPort(), 0);
    std::vector<QByteArray> received;
    link.OnBytes = [&](const QByteArray& b) { received.push_back(b); };
    link.SetEndpoint(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(link.Open()) << link.LastError().toStdString();
    ASSERT_GT(link.BoundPort(), 0);

    const QByteArray request = QByteArray::fromHex("aa0000000180100000010500410000012100e702");
    ASSERT_TRUE(link.Write(request));
    ASSERT_TRUE(WaitFor([&] { return device.hasPendingDatagrams(); }));
    QByteArray got(int(device.pendingDatagramSize()), '\0');
    QHostAddress from;
    quint16 fromPort = 0;
    device.readDatagram(got.data(), got.size(), &from, &fromPort);
    EXPECT_EQ(got, request) << "one frame, one datagram";
    EXPECT_EQ(fromPort, link.BoundPort());

    const QHostAddress back(QStringLiteral("127.0.0.1"));
    stranger.writeDatagram(QByteArray("not from the device"), back, fromPort);
    device.writeDatagram(QByteArray("answer"), back, fromPort);
    ASSERT_TRUE(WaitFor([&] { return !received.empty(); }));
    // Let any further datagram arrive before judging.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], QByteArray("answer"));

    link.Close();
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.Write(request));
}

// A whole Detail upload through the port manager and the real serial adapter, against a
// small scripted device on the other end of a pseudo-terminal.
TEST(LinkOverPty, DetailUploadThroughThePortManager) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));

    constexpr int kPackets = 40;
    QByteArray expected;
    std::vector<QByteArray> packets;
    for (int k = 1; k <= kPackets; ++k) {
        QByteArray d(256, '\0');
        for (int i = 0; i < 256; ++i)
            d[i] = static_cast<char>((k * 13 + i) % 0xA0);
        if (k == kPackets)
            d[254] = static_cast<char>(0xA5);
        packets.push_back(d);
        expected += d;
    }

    // The device: acknowledges H_SETBAUD, answers request k with packet k (class 0x90).
    FrameFinder deviceFinder;
    int requests = 0;
    QSocketNotifier readable(master, QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char buf[4096];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            return;
        deviceFinder.Feed(buf, n, [&](const FrameEvent& e) {
            ASSERT_EQ(e.Kind, FrameEventKind::Frame);
            QByteArray answer;
            if (e.Frame.Class == 0x80 && e.Frame.Code == 0x00) {
                answer = EncodeFrame(DeviceFrame{1, 0x80, 0x0E, 0, 0, e.Frame.Sequence, {}});
            } else if (e.Frame.Code == 0x10) {
                const int block = (e.Frame.Param1 << 8) | e.Frame.Param2;
                ++requests;
                ASSERT_LT(block, kPackets);
                answer =
                    EncodeFrame(DeviceFrame{1, 0x90, 0x10, 0, 0, e.Frame.Sequence, packets[block]});
            }
            ASSERT_EQ(::write(master, answer.constData(), answer.size()), answer.size());
        });
    });

    QTemporaryDir dir;
    TVarnMPComm manager(DefaultTransportFactory());
    ASSERT_TRUE(manager.OpenPort(slave)) << manager.LastError().toStdString();
    const int index = manager.FindPort(slave);
    ASSERT_GE(index, 0);
    manager.StartWorker();
    TBsPort& link = *manager.Port(index);
    int result = -100;
    link.OnSessionResult = [&](int r) { result = r; };
    link.EnumVarnCmd = H_UPLOAD_Detail;
    const QByteArray range = QByteArray::fromHex("0000012100");
    std::copy(range.begin(), range.end(), link.RequestData.begin());
    link.RequestDataLen = 5;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    const QString file = dir.filePath(QStringLiteral("detail.hex"));
    ASSERT_TRUE(link.PrepareCommand(file));
    link.SendRequest();
    ASSERT_TRUE(WaitFor([&] { return result >= 2; }, 20000));
    EXPECT_EQ(result, 3);
    EXPECT_EQ(requests, kPackets);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), expected);
    manager.StopWorker();
    manager.ClosePort(slave);
    ::close(master);
}

// A whole Summary upload over UDP loopback against a scripted device; a stranger sending
// well-formed packets to the link's port is ignored.
TEST(LinkOverUdp, SummaryUploadIgnoresOtherSenders) {
    QNetworkProxyFactory::setUseSystemConfiguration(false);
    QUdpSocket device;
    ASSERT_TRUE(device.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0));
    QUdpSocket stranger;
    ASSERT_TRUE(stranger.bind(QHostAddress(QStringLiteral("127.0.0.3")), 0));

    constexpr int kPackets = 12;
    std::vector<QByteArray> packets;
    QByteArray expected;
    for (int k = 0; k < kPackets; ++k) {
        QByteArray d(256, static_cast<char>(k + 1));
        if (k == kPackets - 1)
            d[255] = static_cast<char>(0xA5);
        packets.push_back(d);
        expected += d;
    }

    TBsPort link;
    auto transport = std::make_unique<UdpLinkTransport>(device.localPort(), 0);
    UdpLinkTransport* udp = transport.get();
    link.SetTransport(tmTCPIP, std::move(transport));
    link.SetMode(tmTCPIP);
    link.SetIP(QStringLiteral("127.0.0.1"));

    int requests = 0;
    QObject::connect(&device, &QUdpSocket::readyRead, [&] {
        while (device.hasPendingDatagrams()) {
            QByteArray d(int(device.pendingDatagramSize()), '\0');
            QHostAddress from;
            quint16 port = 0;
            device.readDatagram(d.data(), d.size(), &from, &port);
            FrameFinder finder;
            finder.Feed(d, [&](const FrameEvent& e) {
                ASSERT_EQ(e.Kind, FrameEventKind::Frame);
                ASSERT_EQ(e.Frame.Code, 0x11);
                const int block = (e.Frame.Param1 << 8) | e.Frame.Param2;
                ASSERT_LT(block, kPackets);
                ++requests;
                // First a forged answer for the wrong block from another address.
                stranger.writeDatagram(
                    EncodeFrame(
                        DeviceFrame{1, 0x90, 0x11, 0, 0, e.Frame.Sequence, QByteArray(256, 'X')}),
                    from, port);
                device.writeDatagram(
                    EncodeFrame(DeviceFrame{1, 0x90, 0x11, 0, 0, e.Frame.Sequence, packets[block]}),
                    from, port);
            });
        }
    });

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("summary.hex"));
    int result = -100;
    link.OnSessionResult = [&](int r) { result = r; };
    link.EnumVarnCmd = H_UPLOAD_Summary;
    const QByteArray range = QByteArray::fromHex("0000012100");
    std::copy(range.begin(), range.end(), link.RequestData.begin());
    link.RequestDataLen = 5;
    link.RetriesLeft = 6;
    link.BeginSession(1, kBaudIndex115200, true);
    ASSERT_TRUE(udp->IsOpen());
    ASSERT_TRUE(link.PrepareCommand(file));
    link.SendRequest();
    ASSERT_TRUE(WaitFor([&] { return result >= 2; }, 20000));
    EXPECT_EQ(result, 3);
    EXPECT_EQ(requests, kPackets);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), expected);
}

} // namespace
