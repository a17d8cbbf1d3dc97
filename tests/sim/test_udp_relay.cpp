// The built orvexfm-udprelay program between two loopback sockets of the test: one playing the
// host, one the device.

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>

namespace {

// Hang guard only: every wait ends as soon as its data is there.
constexpr int kGuardMs = 10000;

QString RelayPath() {
    return QStringLiteral(ORVEXFM_BIN_DIR) + QStringLiteral("/orvexfm-udprelay");
}

// A datagram socket on 127.0.0.1 with a free port.
class Endpoint {
public:
    Endpoint() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof m_address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&m_address), &length);
    }
    ~Endpoint() { ::close(m_fd); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    int Port() const { return ntohs(m_address.sin_port); }
    void SendTo(const sockaddr_in& To, const std::string& Data) {
        ::sendto(m_fd, Data.data(), Data.size(), 0, reinterpret_cast<const sockaddr*>(&To),
                 sizeof To);
    }
    // Waits up to WaitMs for one datagram; false when none came.
    bool Receive(std::string& Data, sockaddr_in& From, int WaitMs) {
        pollfd watch{m_fd, POLLIN, 0};
        if (::poll(&watch, 1, WaitMs) <= 0)
            return false;
        char buffer[2048];
        socklen_t length = sizeof From;
        const ssize_t n =
            ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&From), &length);
        if (n < 0)
            return false;
        Data.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }

private:
    int m_fd = -1;
    sockaddr_in m_address{};
};

sockaddr_in Loopback(int Port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(Port));
    return address;
}

class Relay {
public:
    explicit Relay(const QStringList& Args) {
        m_process.start(RelayPath(), Args);
        if (!m_process.waitForStarted(kGuardMs))
            return;
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < kGuardMs &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        m_firstLine = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        const auto match =
            QRegularExpression(QStringLiteral("^RELAY 127\\.0\\.0\\.1:(\\d+)$")).match(m_firstLine);
        if (match.hasMatch())
            m_port = match.captured(1).toInt();
    }
    ~Relay() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kGuardMs);
        }
    }
    int Port() const { return m_port; }
    QString FirstLine() const { return m_firstLine; }
    // Stops it as a test script would and returns its count line.
    QString Stop() {
        m_process.terminate();
        m_process.waitForFinished(kGuardMs);
        return QString::fromLocal8Bit(m_process.readAllStandardError()).trimmed();
    }
    int ExitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus ExitStatus() const { return m_process.exitStatus(); }

private:
    QProcess m_process;
    QString m_firstLine;
    int m_port = 0;
};

QStringList RelayArgs(int TargetPort, const QStringList& More = {}) {
    return QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                       QStringLiteral("--target"), QStringLiteral("127.0.0.1:%1").arg(TargetPort)} +
           More;
}

// Which of Count numbered datagrams crossed the relay in each direction. The device echoes
// every datagram it gets; the host sends the next one once the echo came back or a short
// pause has passed, which keeps the socket queues short. A late datagram still counts, since
// each carries its number.
struct Crossing {
    std::set<int> up;
    std::set<int> down;
};

Crossing SendNumbered(Endpoint& Host, Endpoint& Device, int RelayPort, int Count) {
    Crossing result;
    const sockaddr_in relay = Loopback(RelayPort);
    std::string data;
    sockaddr_in from{};
    const auto drainDevice = [&](int WaitMs) {
        while (Device.Receive(data, from, WaitMs)) {
            result.up.insert(std::stoi(data));
            Device.SendTo(from, data);
            WaitMs = 0;
        }
    };
    for (int i = 0; i < Count; ++i) {
        Host.SendTo(relay, std::to_string(i));
        drainDevice(30);
        // Wait a little for the echo of this one only if it went up; take any late ones too.
        int wait = result.up.count(i) ? 30 : 0;
        while (Host.Receive(data, from, wait)) {
            result.down.insert(std::stoi(data));
            if (result.down.count(i))
                wait = 0;
        }
    }
    // Late ones: keep going until a round brings nothing more.
    for (std::size_t seen = 0; seen != result.up.size() + result.down.size();) {
        seen = result.up.size() + result.down.size();
        drainDevice(100);
        while (Host.Receive(data, from, 100))
            result.down.insert(std::stoi(data));
    }
    return result;
}

} // namespace

TEST(UdpRelay, ForwardsBothWaysAndAnswersTheLastClient) {
    Endpoint device;
    Relay relay(RelayArgs(device.Port()));
    ASSERT_NE(relay.Port(), 0) << relay.FirstLine().toStdString();
    const sockaddr_in relayAddress = Loopback(relay.Port());

    Endpoint first;
    Endpoint second;
    struct Step {
        Endpoint* client;
        std::string request;
        std::string answer;
    };
    const Step steps[] = {{&first, "one", "ONE"}, {&first, "two", "TWO"}, {&second, "three", "3"}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.request);
        step.client->SendTo(relayAddress, step.request);
        std::string data;
        sockaddr_in relayUpstream{};
        ASSERT_TRUE(device.Receive(data, relayUpstream, kGuardMs));
        EXPECT_EQ(data, step.request);
        device.SendTo(relayUpstream, step.answer);
        sockaddr_in from{};
        ASSERT_TRUE(step.client->Receive(data, from, kGuardMs));
        EXPECT_EQ(data, step.answer);
        // The answer comes from the address the client talks to.
        EXPECT_EQ(ntohs(from.sin_port), relay.Port());
        EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    }
    // The answer to "three" went to the client that sent last, not to the first one.
    std::string stray;
    sockaddr_in from{};
    EXPECT_FALSE(first.Receive(stray, from, 100)) << stray;

    EXPECT_EQ(relay.Stop(), QStringLiteral("orvexfm-udprelay: up received 3 forwarded 3 dropped "
                                           "0; down received 3 forwarded 3 dropped 0"));
    EXPECT_EQ(relay.ExitStatus(), QProcess::NormalExit);
    EXPECT_EQ(relay.ExitCode(), 0);
}

// The share dropped in each direction is close to the percentage asked for, and the same seed
// drops the same datagrams again.
TEST(UdpRelay, DropsTheGivenShareRepeatablyForOneSeed) {
    constexpr int kCount = 300;
    struct Case {
        QStringList options;
        double upShare;   // expected share lost on the way up
        double downShare; // expected share of the forwarded ones lost on the way back
    };
    const Case cases[] = {
        {{QStringLiteral("--drop"), QStringLiteral("10"), QStringLiteral("--seed"),
          QStringLiteral("7")},
         0.10,
         0.10},
        {{QStringLiteral("--drop-up"), QStringLiteral("25"), QStringLiteral("--seed"),
          QStringLiteral("7")},
         0.25,
         0.0},
        {{QStringLiteral("--drop"), QStringLiteral("5"), QStringLiteral("--drop-down"),
          QStringLiteral("0"), QStringLiteral("--seed"), QStringLiteral("11")},
         0.05,
         0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.join(QLatin1Char(' ')).toStdString());
        Crossing runs[2];
        for (Crossing& run : runs) {
            Endpoint device;
            Endpoint host;
            Relay relay(RelayArgs(device.Port(), c.options));
            ASSERT_NE(relay.Port(), 0) << relay.FirstLine().toStdString();
            run = SendNumbered(host, device, relay.Port(), kCount);
        }
        for (const Crossing& run : runs) {
            // Generous bounds: several standard deviations of a binomial draw either way.
            const double upLost = 1.0 - static_cast<double>(run.up.size()) / kCount;
            EXPECT_NEAR(upLost, c.upShare, 0.06) << run.up.size();
            const double downLost =
                1.0 - static_cast<double>(run.down.size()) / static_cast<double>(run.up.size());
            EXPECT_NEAR(downLost, c.downShare, 0.06) << run.down.size();
            for (int n : run.down)
                EXPECT_TRUE(run.up.count(n)) << n; // nothing comes back that never went up
        }
        EXPECT_EQ(runs[0].up, runs[1].up);
        EXPECT_EQ(runs[0].down, runs[1].down);
    }
}

TEST(UdpRelay, RefusesBadOptions) {
    const QStringList cases[] = {
        {},
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")},
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--target"),
         QStringLiteral("127.0.0.1:9")},
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--target"),
         QStringLiteral("127.0.0.1:70000")},
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--target"),
         QStringLiteral("127.0.0.1:9"), QStringLiteral("--drop"), QStringLiteral("101")},
        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--target"),
         QStringLiteral("127.0.0.1:9"), QStringLiteral("--seed"), QStringLiteral("x")},
        {QStringLiteral("--bogus"), QStringLiteral("1")},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        QProcess process;
        process.start(RelayPath(), args);
        ASSERT_TRUE(process.waitForFinished(kGuardMs));
        EXPECT_EQ(process.exitCode(), 2);
        EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    }
}
