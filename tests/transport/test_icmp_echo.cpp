#include "tests/support/proc_net_snmp.h"
#include "transport/icmp_echo.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Every echo request of these tests goes either to 127.0.0.1 of this machine or to addresses
// inside network namespaces the test makes for itself (and removes again), so nothing leaves
// the machine. Host-name lookups other than "localhost" (from /etc/hosts) are made only from
// inside such a namespace, where no resolver can be reached.

namespace {

QString IpTool() {
    QString path = QStandardPaths::findExecutable(QStringLiteral("ip"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            QStringLiteral("ip"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return path;
}

struct RunResult {
    bool ok = false;
    QString output;
};

RunResult RunIp(const QStringList& Arguments) {
    RunResult result;
    const QString tool = IpTool();
    if (tool.isEmpty())
        return result;
    QProcess process;
    process.start(tool, Arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.output = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!result.ok)
        result.output += QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// A network namespace of its own, removed again when the object goes. The name carries the
// process id and a counter, so parallel runs never share one.
class TestNamespace {
public:
    explicit TestNamespace(const QString& Tag) {
        static std::atomic<int> counter{0};
        m_name = QStringLiteral("orvexicmp-%1-%2-%3").arg(::getpid()).arg(Tag).arg(counter++);
        const RunResult added = RunIp({QStringLiteral("netns"), QStringLiteral("add"), m_name});
        if (!added.ok) {
            m_error = QStringLiteral("cannot create a network namespace (needs root / "
                                     "CAP_SYS_ADMIN and the ip tool): ") +
                      added.output.trimmed();
            return;
        }
        m_created = true;
        if (!Ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
                 QStringLiteral("up")}))
            m_error = QStringLiteral("cannot bring up the namespace's loopback");
    }
    ~TestNamespace() {
        if (m_created)
            RunIp({QStringLiteral("netns"), QStringLiteral("del"), m_name});
    }
    TestNamespace(const TestNamespace&) = delete;
    TestNamespace& operator=(const TestNamespace&) = delete;

    bool Ready() const { return m_created && m_error.isEmpty(); }
    QString Error() const { return m_error; }
    QString Name() const { return m_name; }

    // "ip -n NAME ARGS..."
    bool Ip(const QStringList& Arguments) {
        const RunResult result = RunIp(QStringList{QStringLiteral("-n"), m_name} + Arguments);
        if (!result.ok)
            m_error = QStringLiteral("ip %1: %2")
                          .arg(Arguments.join(QLatin1Char(' ')), result.output.trimmed());
        return result.ok;
    }
    // Sets a sysctl inside the namespace (never in the machine's own one).
    bool Sysctl(const QString& Key, const QString& Value) {
        return RunIp({QStringLiteral("netns"), QStringLiteral("exec"), m_name,
                      QStringLiteral("sysctl"), QStringLiteral("-qw"),
                      Key + QLatin1Char('=') + Value})
            .ok;
    }
    // One counter of the namespace's "Icmp:" statistics (-1 if it cannot be read).
    long IcmpCounter(const QString& Field) {
        const RunResult result = RunIp({QStringLiteral("netns"), QStringLiteral("exec"), m_name,
                                        QStringLiteral("cat"), QStringLiteral("/proc/net/snmp")});
        return result.ok ? IcmpCounterFromSnmp(result.output, Field) : -1;
    }

private:
    QString m_name;
    QString m_error;
    bool m_created = false;
};

// While it lives, the calling thread belongs to the namespace: sockets it opens and lookups it
// makes happen there.
class EnterNamespace {
public:
    explicit EnterNamespace(const QString& Name) {
        m_home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const QByteArray path = QStringLiteral("/run/netns/%1").arg(Name).toLocal8Bit();
        const int target = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        m_entered = m_home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
    }
    ~EnterNamespace() {
        if (m_entered)
            ::setns(m_home, CLONE_NEWNET);
        if (m_home >= 0)
            ::close(m_home);
    }
    EnterNamespace(const EnterNamespace&) = delete;
    EnterNamespace& operator=(const EnterNamespace&) = delete;
    bool Entered() const { return m_entered; }

private:
    int m_home = -1;
    bool m_entered = false;
};

// Drops one capability from the calling thread's effective set until destroyed.
class WithoutCapability {
public:
    explicit WithoutCapability(int Capability) {
        m_header.version = _LINUX_CAPABILITY_VERSION_3;
        m_header.pid = 0;
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[Capability / 32].effective &= ~(1u << (Capability % 32));
        m_dropped = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutCapability() {
        if (m_dropped)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    bool Dropped() const { return m_dropped; }

private:
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
    bool m_dropped = false;
};

QString KindName(TIcmpSocketKind Kind) {
    return Kind == TIcmpSocketKind::iskDatagram ? QStringLiteral("Datagram")
                                                : QStringLiteral("Raw");
}

// Records every event the component raises.
struct EventLog {
    QStringList received; // "IPAddr|HostName|TTL"
    QStringList errors;   // "IPAddr|HostName|ErrorMsg"

    void Attach(TIcmpEcho& Echo) {
        Echo.OnReceived = [this](TIcmpEcho*, const QString& IPAddr, const QString& HostName,
                                 std::uint8_t TTL, std::uint8_t) {
            received << QStringLiteral("%1|%2|%3").arg(IPAddr, HostName).arg(TTL);
        };
        Echo.OnError = [this](TIcmpEcho*, const QString& IPAddr, const QString& HostName,
                              std::uint8_t, std::uint8_t, const QString& ErrorMsg) {
            errors << QStringLiteral("%1|%2|%3").arg(IPAddr, HostName, ErrorMsg);
        };
    }
};

// Content is "\n" + line for every request; returns the lines.
QStringList ContentLines(const QString& Content) {
    EXPECT_TRUE(Content.isEmpty() || Content.startsWith(QLatin1Char('\n')))
        << Content.toStdString();
    QStringList lines = Content.split(QLatin1Char('\n'));
    if (!lines.isEmpty())
        lines.removeFirst();
    return lines;
}

QRegularExpression AnsweredLine(const QString& Label, int Bytes) {
    return QRegularExpression(QStringLiteral("^\\[%1\\]: 字节数:%2 时间: \\d+ms TTL: \\d+$")
                                  .arg(QRegularExpression::escape(Label))
                                  .arg(Bytes));
}

// Hang guard for requests that are expected to be answered; the answer comes long before.
constexpr std::uint32_t kAnsweredTimeOut = 3000;
// Wait for requests that are expected to go unanswered.
constexpr std::uint32_t kSilentTimeOut = 150;

} // namespace

TEST(IcmpEchoDefaults, PublishedPropertiesStartAtTheirDefaults) {
    std::unique_ptr<TIcmpEcho> echo;
    try {
        echo = std::make_unique<TIcmpEcho>();
    } catch (const EIcmpError& error) {
        GTEST_SKIP() << "no echo socket permitted for this process: " << error.what();
    }
    EXPECT_EQ(echo->RemoteIP(), QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(echo->RemoteHost().isEmpty());
    EXPECT_EQ(echo->PingCount(), 4);
    EXPECT_EQ(echo->Delay(), 0);
    EXPECT_EQ(echo->TTL(), 64);
    EXPECT_EQ(echo->TimeOut(), 10u);
    const QString data = echo->DataString();
    EXPECT_EQ(data.size(), 12);
    for (const QChar c : data)
        EXPECT_TRUE(c.unicode() >= 0x20 && c.unicode() < 0x7F) << data.toStdString();
}

// The machine's own loopback answers: the check passes after PingCount requests, one content
// line and one OnReceived per request.
TEST(IcmpEchoLoopback, LocalHostAnswersEveryRequest) {
    std::unique_ptr<TIcmpEcho> echo;
    try {
        echo = std::make_unique<TIcmpEcho>();
    } catch (const EIcmpError& error) {
        GTEST_SKIP() << "no echo socket permitted for this process: " << error.what();
    }
    EventLog log;
    log.Attach(*echo);
    echo->SetTimeOut(kAnsweredTimeOut);
    echo->SetPingCount(3);
    QString content = QStringLiteral("left over from before");
    EXPECT_TRUE(echo->PingRemote(content));
    EXPECT_EQ(echo->LastResult(), kIcmpAnswered);
    const QStringList lines = ContentLines(content);
    ASSERT_EQ(lines.size(), 3) << content.toStdString();
    for (const QString& line : lines)
        EXPECT_TRUE(AnsweredLine(QStringLiteral("127.0.0.1"), 12).match(line).hasMatch())
            << line.toStdString();
    EXPECT_EQ(log.received.size(), 3);
    for (const QString& event : log.received)
        EXPECT_TRUE(event.startsWith(QStringLiteral("127.0.0.1||"))) << event.toStdString();
    EXPECT_TRUE(log.errors.isEmpty());
}

// Each test runs in a namespace of its own, once with the unprivileged datagram socket
// (ping_group_range admits us) and once with the raw socket it falls back to.
class IcmpNamespaceTest : public ::testing::TestWithParam<TIcmpSocketKind> {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root; the unanswered and counted cases "
                            "cannot be set up without them";
        m_ns = std::make_unique<TestNamespace>(QStringLiteral("n"));
        if (!m_ns->Ready())
            GTEST_SKIP() << m_ns->Error().toStdString();
        const bool datagram = GetParam() == TIcmpSocketKind::iskDatagram;
        ASSERT_TRUE(
            m_ns->Sysctl(QStringLiteral("net.ipv4.ping_group_range"),
                         datagram ? QStringLiteral("0 2147483647") : QStringLiteral("1 0")));
        m_inside = std::make_unique<EnterNamespace>(m_ns->Name());
        ASSERT_TRUE(m_inside->Entered());
        m_echo = std::make_unique<TIcmpEcho>();
        ASSERT_EQ(m_echo->SocketKind(), GetParam());
        m_echo->SetTimeOut(kAnsweredTimeOut);
        m_log.Attach(*m_echo);
    }
    void TearDown() override {
        m_echo.reset();
        m_inside.reset();
        m_ns.reset();
    }

    // Echo requests that arrived at the namespace's loopback so far.
    long Arrived() { return m_ns->IcmpCounter(QStringLiteral("InEchos")); }
    bool IgnoreEchoes(bool Ignore) {
        return m_ns->Sysctl(QStringLiteral("net.ipv4.icmp_echo_ignore_all"),
                            Ignore ? QStringLiteral("1") : QStringLiteral("0"));
    }

    std::unique_ptr<TestNamespace> m_ns;
    std::unique_ptr<EnterNamespace> m_inside;
    std::unique_ptr<TIcmpEcho> m_echo;
    EventLog m_log;
};

TEST_P(IcmpNamespaceTest, AnsweredCheckSendsExactlyPingCountRequests) {
    struct Case {
        int count;
        QString payload;
        int bytes;
    };
    const std::vector<Case> cases = {
        {1, QString(), 12}, // the default payload
        {4, QStringLiteral("x"), 1},
        {6, QString(1000, QLatin1Char('p')), 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        if (!c.payload.isEmpty())
            m_echo->SetDataString(c.payload);
        m_echo->SetPingCount(c.count);
        m_log = EventLog{};
        m_log.Attach(*m_echo);
        const long before = Arrived();
        QString content;
        EXPECT_TRUE(m_echo->PingRemote(content));
        EXPECT_EQ(Arrived() - before, c.count);
        const QStringList lines = ContentLines(content);
        ASSERT_EQ(lines.size(), c.count);
        for (const QString& line : lines)
            EXPECT_TRUE(AnsweredLine(QStringLiteral("127.0.0.1"), c.bytes).match(line).hasMatch())
                << line.toStdString();
        EXPECT_EQ(m_log.received.size(), c.count);
        EXPECT_TRUE(m_log.errors.isEmpty());
    }
}

TEST_P(IcmpNamespaceTest, UnansweredRequestFailsTheCheckAfterOneRequest) {
    ASSERT_TRUE(IgnoreEchoes(true));
    m_echo->SetTimeOut(kSilentTimeOut);
    const long before = Arrived();
    QString content;
    EXPECT_FALSE(m_echo->PingRemote(content));
    EXPECT_EQ(m_echo->LastResult(), kIcmpNoAnswer);
    EXPECT_EQ(Arrived() - before, 1);
    EXPECT_EQ(content, QStringLiteral("\n[127.0.0.1] 没有响应"));
    EXPECT_TRUE(m_log.received.isEmpty());
    EXPECT_EQ(m_log.errors, QStringList{QStringLiteral("127.0.0.1||[127.0.0.1] 没有响应")});

    // The same through PingAddress, and the check recovers once the target answers again.
    EXPECT_FALSE(m_echo->PingAddress(QStringLiteral("127.0.0.1"), content));
    EXPECT_EQ(content, QStringLiteral("\n[127.0.0.1] 没有响应"));
    ASSERT_TRUE(IgnoreEchoes(false));
    m_echo->SetTimeOut(kAnsweredTimeOut);
    EXPECT_TRUE(m_echo->PingAddress(QStringLiteral("127.0.0.1"), content));
    EXPECT_TRUE(AnsweredLine(QStringLiteral("127.0.0.1"), 12).match(content.mid(1)).hasMatch())
        << content.toStdString();
}

// The target answers two requests and then falls silent: the third request fails the check
// and the fourth is never sent.
TEST_P(IcmpNamespaceTest, CheckStopsAtTheFirstUnansweredRequest) {
    m_echo->SetTimeOut(1000);
    m_echo->SetDelay(1);
    int answers = 0;
    bool switched = false;
    m_echo->OnReceived = [&](TIcmpEcho*, const QString&, const QString&, std::uint8_t,
                             std::uint8_t) {
        if (++answers == 2)
            switched = IgnoreEchoes(true);
    };
    const long before = Arrived();
    QString content;
    EXPECT_FALSE(m_echo->PingRemote(content));
    ASSERT_TRUE(switched);
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(Arrived() - before, 3);
    const QStringList lines = ContentLines(content);
    ASSERT_EQ(lines.size(), 3) << content.toStdString();
    EXPECT_TRUE(AnsweredLine(QStringLiteral("127.0.0.1"), 12).match(lines[0]).hasMatch());
    EXPECT_TRUE(AnsweredLine(QStringLiteral("127.0.0.1"), 12).match(lines[1]).hasMatch());
    EXPECT_EQ(lines[2], QStringLiteral("[127.0.0.1] 没有响应"));
}

// Two components send the same sequence numbers with the same payload. An answer meant for
// one of them (which a raw socket sees as well) must not pass the other's check.
TEST_P(IcmpNamespaceTest, AnswersToAnotherComponentDoNotCount) {
    TIcmpEcho other;
    other.SetTimeOut(kAnsweredTimeOut);
    other.SetPingCount(1);
    m_echo->SetPingCount(1);
    m_echo->SetTimeOut(kSilentTimeOut);
    QString content;
    ASSERT_TRUE(other.PingRemote(content)) << content.toStdString();
    ASSERT_TRUE(IgnoreEchoes(true));
    EXPECT_FALSE(m_echo->PingRemote(content));
    EXPECT_EQ(m_echo->LastResult(), kIcmpNoAnswer);
    EXPECT_TRUE(m_log.received.isEmpty());
}

// Requests that cannot be made fail at once, with their own result and line, send nothing and
// raise no event.
TEST_P(IcmpNamespaceTest, RefusedRequestsSendNothing) {
    struct Case {
        const char* name;
        std::function<bool(TIcmpEcho&, QString&)> run;
        int result;
        QString content;
    };
    const QString invalid = QStringLiteral("\nIP地址不合法");
    const std::vector<Case> cases = {
        {"empty payload",
         [](TIcmpEcho& e, QString& c) {
             e.SetDataString(QString());
             return e.PingRemote(c);
         },
         kIcmpEmptyPayload, QStringLiteral("\nICMP运行错误")},
        {"all-ones address",
         [](TIcmpEcho& e, QString& c) {
             e.SetRemoteIP(QStringLiteral("255.255.255.255"));
             return e.PingRemote(c);
         },
         kIcmpInvalidAddress, invalid},
        {"a name as RemoteIP is not looked up",
         [](TIcmpEcho& e, QString& c) {
             e.SetRemoteIP(QStringLiteral("localhost"));
             return e.PingRemote(c);
         },
         kIcmpInvalidAddress, invalid},
        {"PingAddress with a host name",
         [](TIcmpEcho& e, QString& c) { return e.PingAddress(QStringLiteral("localhost"), c); },
         kIcmpInvalidAddress, invalid},
        {"PingAddress with all ones",
         [](TIcmpEcho& e, QString& c) {
             return e.PingAddress(QStringLiteral("255.255.255.255"), c);
         },
         kIcmpInvalidAddress, invalid},
        {"PingAddress with nothing",
         [](TIcmpEcho& e, QString& c) { return e.PingAddress(QString(), c); }, kIcmpInvalidAddress,
         invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TIcmpEcho echo;
        EventLog log;
        log.Attach(echo);
        echo.SetTimeOut(kAnsweredTimeOut);
        const long sentBefore = m_ns->IcmpCounter(QStringLiteral("OutEchos"));
        ASSERT_GE(sentBefore, 0);
        QString content;
        EXPECT_FALSE(c.run(echo, content));
        EXPECT_EQ(echo.LastResult(), c.result);
        EXPECT_EQ(content, c.content);
        EXPECT_EQ(m_ns->IcmpCounter(QStringLiteral("OutEchos")), sentBefore);
        EXPECT_TRUE(log.received.isEmpty());
        EXPECT_TRUE(log.errors.isEmpty());
    }
    // An emptied payload reads back as the default text all the same.
    TIcmpEcho echo;
    echo.SetDataString(QString());
    EXPECT_EQ(echo.DataString(), QString::fromLatin1(kIcmpDefaultData));
}

TEST_P(IcmpNamespaceTest, PingCountBelowOneKeepsThePreviousValue) {
    struct Case {
        int set;
        int expected;
    };
    const std::vector<Case> cases = {{2, 2}, {0, 2}, {-1, 2}, {-1000, 2}, {1, 1}, {0, 1}, {3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.set);
        m_echo->SetPingCount(c.set);
        EXPECT_EQ(m_echo->PingCount(), c.expected);
        const long before = Arrived();
        QString content;
        EXPECT_TRUE(m_echo->PingRemote(content));
        EXPECT_EQ(Arrived() - before, c.expected);
        EXPECT_EQ(ContentLines(content).size(), c.expected);
    }
}

// How RemoteHost and RemoteIP resolve one another, and which address a check then goes to.
// Runs inside the namespace, so a name that is not in /etc/hosts cannot reach any resolver.
TEST_P(IcmpNamespaceTest, RemoteHostAndRemoteIPResolution) {
    struct Step {
        enum Kind { Host, Ip } kind;
        QString value;
        QString remoteIP;   // after the step
        QString remoteHost; // after the step
        QString label;      // how the check's line names the target
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const QString local = QStringLiteral("127.0.0.1");
    const std::vector<Case> cases = {
        {"a name resolves into RemoteIP",
         {{Step::Host, QStringLiteral("localhost"), local, QStringLiteral("localhost"),
           QStringLiteral("localhost: 127.0.0.1")}}},
        {"a dotted host stands for itself",
         {{Step::Host, QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.2"),
           QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.2")}}},
        {"an unknown name keeps the previous address",
         {{Step::Host, QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.3"),
           QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.3")},
          {Step::Host, QStringLiteral("no-such-device.invalid"), QStringLiteral("127.0.0.3"),
           QStringLiteral("no-such-device.invalid"), QStringLiteral("127.0.0.3")}}},
        {"all ones as host keeps the previous address",
         {{Step::Host, QStringLiteral("255.255.255.255"), local, QStringLiteral("255.255.255.255"),
           local}}},
        {"an empty host over an empty host changes nothing",
         {{Step::Host, QString(), local, QString(), local}}},
        {"a valid RemoteIP clears RemoteHost",
         {{Step::Host, QStringLiteral("localhost"), local, QStringLiteral("localhost"),
           QStringLiteral("localhost: 127.0.0.1")},
          {Step::Ip, QStringLiteral("127.0.0.4"), QStringLiteral("127.0.0.4"), QString(),
           QStringLiteral("127.0.0.4")}}},
        {"an empty RemoteIP lets RemoteHost decide",
         {{Step::Host, QStringLiteral("localhost"), local, QStringLiteral("localhost"),
           QStringLiteral("localhost: 127.0.0.1")},
          {Step::Ip, QString(), QString(), QStringLiteral("localhost"),
           QStringLiteral("localhost: 127.0.0.1")}}},
        {"the short dotted form is an address",
         {{Step::Ip, QStringLiteral("127.1"), QStringLiteral("127.1"), QString(), local}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TIcmpEcho echo;
        echo.SetTimeOut(kAnsweredTimeOut);
        echo.SetPingCount(1);
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.value.toStdString());
            if (step.kind == Step::Host)
                echo.SetRemoteHost(step.value);
            else
                echo.SetRemoteIP(step.value);
            EXPECT_EQ(echo.RemoteIP(), step.remoteIP);
            EXPECT_EQ(echo.RemoteHost(), step.remoteHost);
            QString content;
            EXPECT_TRUE(echo.PingRemote(content));
            EXPECT_TRUE(AnsweredLine(step.label, 12).match(content.mid(1)).hasMatch())
                << content.toStdString();
        }
    }
}

// Without CAP_NET_RAW the component still works where ping_group_range admits our group (the
// datagram run); where it does not (the raw run), it cannot be made and says so with its own
// text.
TEST_P(IcmpNamespaceTest, CreationNeedsOneKindOfPermission) {
    WithoutCapability noRaw(CAP_NET_RAW);
    ASSERT_TRUE(noRaw.Dropped());
    if (GetParam() == TIcmpSocketKind::iskDatagram) {
        TIcmpEcho echo;
        EXPECT_EQ(echo.SocketKind(), TIcmpSocketKind::iskDatagram);
        echo.SetTimeOut(kAnsweredTimeOut);
        QString content;
        EXPECT_TRUE(echo.PingAddress(QStringLiteral("127.0.0.1"), content))
            << content.toStdString();
        return;
    }
    try {
        TIcmpEcho echo;
        ADD_FAILURE() << "an echo component was made without permission";
    } catch (const EIcmpError& error) {
        EXPECT_STREQ(error.what(), kIcmpRunError);
    }
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpNamespaceTest,
                         ::testing::Values(TIcmpSocketKind::iskDatagram, TIcmpSocketKind::iskRaw),
                         [](const ::testing::TestParamInfo<TIcmpSocketKind>& info) {
                             return KindName(info.param).toStdString();
                         });

// Three namespaces in a row: this thread's (A), a router (B) and the device (C), linked by
// veth pairs in the benchmark-test range 198.18.0.0/15. B forwards between A and C and has no
// way to 198.18.3.0/24.
class IcmpRoutedTest : public ::testing::TestWithParam<TIcmpSocketKind> {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "network namespaces need root";
        m_a = std::make_unique<TestNamespace>(QStringLiteral("a"));
        m_b = std::make_unique<TestNamespace>(QStringLiteral("b"));
        m_c = std::make_unique<TestNamespace>(QStringLiteral("c"));
        for (TestNamespace* ns : {m_a.get(), m_b.get(), m_c.get()})
            if (!ns->Ready())
                GTEST_SKIP() << ns->Error().toStdString();
        const auto link = [](TestNamespace& left, const QString& leftName, TestNamespace& right,
                             const QString& rightName) {
            return left.Ip({QStringLiteral("link"), QStringLiteral("add"), leftName,
                            QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"),
                            QStringLiteral("name"), rightName, QStringLiteral("netns"),
                            right.Name()});
        };
        const auto up = [](TestNamespace& ns, const QString& device, const QString& address) {
            return ns.Ip({QStringLiteral("addr"), QStringLiteral("add"), address,
                          QStringLiteral("dev"), device}) &&
                   ns.Ip({QStringLiteral("link"), QStringLiteral("set"), device,
                          QStringLiteral("up")});
        };
        const auto route = [](TestNamespace& ns, const QStringList& routeArgs) {
            return ns.Ip(QStringList{QStringLiteral("route"), QStringLiteral("add")} + routeArgs);
        };
        if (!link(*m_a, QStringLiteral("a0"), *m_b, QStringLiteral("b0")) ||
            !link(*m_b, QStringLiteral("b1"), *m_c, QStringLiteral("c0")))
            GTEST_SKIP() << "cannot make veth pairs: " << m_a->Error().toStdString()
                         << m_b->Error().toStdString();
        const bool datagram = GetParam() == TIcmpSocketKind::iskDatagram;
        ASSERT_TRUE(up(*m_a, QStringLiteral("a0"), QStringLiteral("198.18.1.2/24")));
        ASSERT_TRUE(up(*m_b, QStringLiteral("b0"), QStringLiteral("198.18.1.1/24")));
        ASSERT_TRUE(up(*m_b, QStringLiteral("b1"), QStringLiteral("198.18.2.1/24")));
        ASSERT_TRUE(up(*m_c, QStringLiteral("c0"), QStringLiteral("198.18.2.2/24")));
        ASSERT_TRUE(route(*m_a, {QStringLiteral("default"), QStringLiteral("via"),
                                 QStringLiteral("198.18.1.1")}));
        ASSERT_TRUE(route(*m_c, {QStringLiteral("default"), QStringLiteral("via"),
                                 QStringLiteral("198.18.2.1")}));
        ASSERT_TRUE(route(*m_b, {QStringLiteral("unreachable"), QStringLiteral("198.18.3.0/24")}));
        ASSERT_TRUE(m_b->Sysctl(QStringLiteral("net.ipv4.ip_forward"), QStringLiteral("1")));
        ASSERT_TRUE(m_a->Sysctl(QStringLiteral("net.ipv4.ping_group_range"),
                                datagram ? QStringLiteral("0 2147483647") : QStringLiteral("1 0")));
        m_inside = std::make_unique<EnterNamespace>(m_a->Name());
        ASSERT_TRUE(m_inside->Entered());
        m_echo = std::make_unique<TIcmpEcho>();
        ASSERT_EQ(m_echo->SocketKind(), GetParam());
        m_echo->SetTimeOut(kAnsweredTimeOut);
        m_echo->SetPingCount(1);
        m_log.Attach(*m_echo);
    }
    void TearDown() override {
        m_echo.reset();
        m_inside.reset();
        m_c.reset();
        m_b.reset();
        m_a.reset();
    }

    std::unique_ptr<TestNamespace> m_a, m_b, m_c;
    std::unique_ptr<EnterNamespace> m_inside;
    std::unique_ptr<TIcmpEcho> m_echo;
    EventLog m_log;
};

// TTL reaches the wire: one hop is not enough to reach the device behind the router, and the
// router's "time exceeded" report is not an answer from the device.
TEST_P(IcmpRoutedTest, TimeToLiveLimitsHowFarTheRequestGoes) {
    struct Case {
        std::uint8_t ttl;
        bool answered;
    };
    const std::vector<Case> cases = {{64, true}, {2, true}, {1, false}, {64, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ttl);
        m_echo->SetTTL(c.ttl);
        const long reportsBefore = m_a->IcmpCounter(QStringLiteral("InTimeExcds"));
        m_log = EventLog{};
        m_log.Attach(*m_echo);
        QString content;
        EXPECT_EQ(m_echo->PingAddress(QStringLiteral("198.18.2.2"), content), c.answered);
        if (c.answered) {
            EXPECT_EQ(m_log.received.size(), 1);
            EXPECT_TRUE(m_log.received.value(0).startsWith(QStringLiteral("198.18.2.2||")))
                << m_log.received.value(0).toStdString();
            EXPECT_TRUE(
                AnsweredLine(QStringLiteral("198.18.2.2"), 12).match(content.mid(1)).hasMatch())
                << content.toStdString();
        } else {
            EXPECT_EQ(m_echo->LastResult(), kIcmpNoAnswer);
            EXPECT_EQ(content, QStringLiteral("\n[198.18.2.2] 没有响应"));
            EXPECT_EQ(m_a->IcmpCounter(QStringLiteral("InTimeExcds")) - reportsBefore, 1);
            EXPECT_EQ(m_log.errors.size(), 1);
        }
    }
}

// A router's "destination unreachable" about our request means the device is not reachable:
// the check fails (it must not pass just because some packet came back).
TEST_P(IcmpRoutedTest, UnreachableReportFailsTheCheck) {
    const long reportsBefore = m_a->IcmpCounter(QStringLiteral("InDestUnreachs"));
    m_echo->SetRemoteHost(QStringLiteral("198.18.3.5"));
    m_echo->SetPingCount(4);
    QString content;
    EXPECT_FALSE(m_echo->PingRemote(content));
    EXPECT_EQ(m_echo->LastResult(), kIcmpNoAnswer);
    EXPECT_EQ(content, QStringLiteral("\n[198.18.3.5] 没有响应"));
    EXPECT_EQ(m_a->IcmpCounter(QStringLiteral("InDestUnreachs")) - reportsBefore, 1);
    EXPECT_TRUE(m_log.received.isEmpty());
    EXPECT_EQ(m_log.errors.size(), 1);

    // The device behind the same router still passes.
    m_echo->SetRemoteHost(QStringLiteral("198.18.2.2"));
    EXPECT_TRUE(m_echo->PingRemote(content));
    EXPECT_EQ(ContentLines(content).size(), 4);
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, IcmpRoutedTest,
                         ::testing::Values(TIcmpSocketKind::iskDatagram, TIcmpSocketKind::iskRaw),
                         [](const ::testing::TestParamInfo<TIcmpSocketKind>& info) {
                             return KindName(info.param).toStdString();
                         });
