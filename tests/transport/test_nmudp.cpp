#include "transport/nmudp.h"

#include "event_wait.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

QByteArray Pattern(int Size, int Seed = 0) {
    QByteArray out(Size, Qt::Uninitialized);
    for (int i = 0; i < Size; ++i)
        out[i] = char((i * 11 + Seed * 29 + i / 253) & 0xFF);
    return out;
}

struct Arrival {
    int count = 0;
    QString from;
    int port = 0;
    QByteArray data; // what ReadDatagram gave inside the event
    int readResult = 0;
};

// A component bound to a port of the system's choosing that records every event, copying the
// datagram out inside the event as the links do (with a buffer of the device link's size).
struct Receiver {
    TNMUDP udp;
    std::vector<Arrival> arrivals;

    Receiver() {
        udp.SetLocalPort(0);
        udp.OnDataReceived = [this](TNMUDP* Sender, int NumberBytes, const QString& FromIP,
                                    int Port) {
            EXPECT_EQ(Sender, &udp);
            Arrival a;
            a.count = NumberBytes;
            a.from = FromIP;
            a.port = Port;
            char buffer[4097];
            a.readResult = Sender->ReadDatagram(buffer, int(sizeof buffer));
            if (a.readResult > 0)
                a.data = QByteArray(buffer, a.readResult);
            arrivals.push_back(a);
        };
    }
    int Port() const { return udp.BoundPort(); }
};

std::string SendError(TNMUDP& Udp, const char* Buffer, int Length) {
    try {
        Udp.SendDatagram(Buffer, Length);
    } catch (const UDPSockError& e) {
        return e.what();
    }
    return "(sent)";
}

// Whether the name service answers for a name that cannot exist. A resolver that hangs
// (an unreachable name server) makes the lookup tests meaningless, so they are skipped.
bool ResolverAnswersPromptly() {
    bool done = false;
    QObject context;
    // A name no test looks up: the probe's lookup thread then shares no cached entry with the
    // lookups under test (ThreadSanitizer cannot see the locking inside Qt's name cache).
    QHostInfo::lookupHost(QStringLiteral("resolver-probe.invalid"), &context,
                          [&](const QHostInfo&) { done = true; });
    return WaitFor([&] { return done; }, 20000);
}

} // namespace

TEST(NumericIPv4, RecognisesNumericAddressesOnly) {
    struct Case {
        const char* host;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"127.0.0.1", 0x7F000001u},
        {"192.168.10.254", 0xC0A80AFEu},
        {"0.0.0.0", 0u},
        {"10.1", 0x0A000001u},   // classic short forms
        {"0x7f.1", 0x7F000001u}, // hex part
        {"255.255.255.255", {}}, // not taken as numeric: goes to the name lookup
        {"localhost", {}},
        {"device.example", {}},
        {"", {}},
        {"1.2.3.256", {}},
        {"1.2.3.4.5", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(NumericIPv4(QString::fromLatin1(c.host)), c.address);
    }
}

TEST(UdpComponent, Defaults) {
    TNMUDP udp;
    EXPECT_TRUE(udp.RemoteHost().isEmpty());
    EXPECT_EQ(udp.RemotePort(), 0);
    EXPECT_EQ(udp.LocalPort(), 0);
    EXPECT_EQ(udp.ReportLevel(), 1);
    EXPECT_FALSE(udp.IsBound());
    EXPECT_EQ(udp.BoundPort(), 0);
    char buffer[8];
    EXPECT_EQ(udp.ReadDatagram(buffer, int(sizeof buffer)), -1) << "nothing received yet";
}

TEST(UdpComponent, EachDatagramIsOneEventWithItsSizeAndSender) {
    Receiver rx;
    ASSERT_TRUE(rx.udp.IsBound());
    ASSERT_NE(rx.Port(), 0);
    TNMUDP tx;
    tx.SetLocalPort(0);
    ASSERT_TRUE(tx.IsBound());
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());

    struct Case {
        int size;
        int count; // what the event reports
    };
    const Case cases[] = {
        {300, 300}, {1, 1}, {2048, 2048}, {2049, -1}, {3000, -1}, {1500, 1500}, {60000, -1},
    };
    std::vector<QByteArray> sent;
    int seed = 0;
    for (const auto& c : cases) {
        sent.push_back(Pattern(c.size, ++seed));
        tx.SendDatagram(sent.back().constData(), c.size);
    }
    const std::size_t n = std::size(cases);
    ASSERT_TRUE(WaitFor([&] { return rx.arrivals.size() >= n; }));
    RunEventsFor(50);
    ASSERT_EQ(rx.arrivals.size(), n) << "one event per datagram";
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(cases[i].size);
        const Arrival& a = rx.arrivals[i];
        EXPECT_EQ(a.count, cases[i].count);
        EXPECT_EQ(a.from, QStringLiteral("127.0.0.1"));
        EXPECT_EQ(a.port, tx.BoundPort());
        if (cases[i].count < 0) {
            EXPECT_EQ(a.readResult, -1);
            EXPECT_TRUE(a.data.isEmpty());
        } else {
            EXPECT_EQ(a.readResult, cases[i].count);
            EXPECT_TRUE(a.data == sent[i]) << "datagram changed or out of order";
        }
    }
}

TEST(UdpComponent, ManyDatagramsArriveAsManyEventsInOrder) {
    Receiver rx;
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());
    const int total = 50;
    for (int i = 0; i < total; ++i) {
        const QByteArray d = QByteArray::number(i) + ':' + Pattern(100 + i, i);
        tx.SendDatagram(d.constData(), int(d.size()));
    }
    ASSERT_TRUE(WaitFor([&] { return rx.arrivals.size() >= std::size_t(total); }));
    for (int i = 0; i < total; ++i) {
        const QByteArray d = QByteArray::number(i) + ':' + Pattern(100 + i, i);
        EXPECT_TRUE(rx.arrivals[i].data == d) << "datagram " << i;
    }
}

// What waits on the socket is dropped without events; later datagrams arrive as usual. On
// loopback a datagram is queued at the receiver by the time the send returns.
TEST(UdpComponent, DiscardPendingDropsWhatWaitsWithoutEvents) {
    Receiver rx;
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());
    for (const char* stale : {"stale 1", "stale 2", "stale 3"})
        tx.SendDatagram(stale, int(std::strlen(stale)));
    EXPECT_EQ(rx.udp.DiscardPending(), 3);
    EXPECT_EQ(rx.udp.DiscardPending(), 0);
    tx.SendDatagram("fresh", 5);
    ASSERT_TRUE(WaitFor([&] { return !rx.arrivals.empty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(rx.arrivals.size(), 1u);
    EXPECT_EQ(rx.arrivals[0].data, QByteArray("fresh"));

    TNMUDP unbound;
    EXPECT_EQ(unbound.DiscardPending(), 0);
}

TEST(UdpComponent, ReadDatagramNeverWritesPastTheCapacity) {
    Receiver rx;
    const QByteArray d = Pattern(300, 4);
    struct Case {
        int capacity;
        int result;
    };
    const Case cases[] = {{4097, 300}, {300, 300}, {299, -1}, {1, -1}, {0, -1}};
    std::vector<std::pair<int, QByteArray>> seen; // result, whole array after the call
    rx.udp.OnDataReceived = [&](TNMUDP* Sender, int, const QString&, int) {
        for (const auto& c : cases) {
            QByteArray area(5000, '\xCD');
            const int r = Sender->ReadDatagram(area.data(), c.capacity);
            seen.emplace_back(r, area);
        }
    };
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());
    tx.SendDatagram(d.constData(), int(d.size()));
    ASSERT_TRUE(WaitFor([&] { return !seen.empty(); }));
    ASSERT_EQ(seen.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].capacity);
        const auto& [result, area] = seen[i];
        EXPECT_EQ(result, cases[i].result);
        const int written = result > 0 ? result : 0;
        EXPECT_TRUE(area.left(written) == d.left(written));
        EXPECT_EQ(area.mid(written), QByteArray(5000 - written, '\xCD'))
            << "bytes beyond the datagram (or the capacity) were touched";
    }
}

TEST(UdpComponent, InvalidBufferIsRefusedAndNothingIsSent) {
    Receiver rx;
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());
    const char data[] = "abc";
    EXPECT_EQ(SendError(tx, data, 0), "Invalid buffer");
    EXPECT_EQ(SendError(tx, data, -5), "Invalid buffer");
    EXPECT_EQ(SendError(tx, nullptr, 3), "Invalid buffer");

    // A handler that declines leaves the error; one that supplies a buffer sends it.
    int calls = 0;
    tx.OnBufferInvalid = [&](bool& Handled, const char*&, int&) {
        ++calls;
        Handled = false;
    };
    EXPECT_EQ(SendError(tx, data, 0), "Invalid buffer");
    EXPECT_EQ(calls, 1);
    const char replacement[] = "replacement";
    tx.OnBufferInvalid = [&](bool& Handled, const char*& Buff, int& Length) {
        ++calls;
        Handled = true;
        Buff = replacement;
        Length = 11;
    };
    EXPECT_EQ(SendError(tx, data, 0), "(sent)");
    EXPECT_EQ(calls, 2);
    // A handler that claims to handle it but supplies nothing is not asked twice.
    tx.OnBufferInvalid = [&](bool& Handled, const char*&, int&) {
        ++calls;
        Handled = true;
    };
    EXPECT_EQ(SendError(tx, data, 0), "Invalid buffer");
    EXPECT_EQ(calls, 3);

    ASSERT_TRUE(WaitFor([&] { return !rx.arrivals.empty(); }));
    RunEventsFor(50);
    ASSERT_EQ(rx.arrivals.size(), 1u);
    EXPECT_EQ(rx.arrivals[0].data, QByteArray("replacement"));
}

TEST(UdpComponent, NullRemoteAddressIsRefused) {
    TNMUDP tx;
    tx.SetRemotePort(5002);
    int sends = 0;
    tx.OnDataSend = [&](TNMUDP*) { ++sends; };
    const char* hosts[] = {"0.0.0.0", "0", "0.0"};
    for (const char* host : hosts) {
        tx.SetRemoteHost(QString::fromLatin1(host));
        EXPECT_EQ(SendError(tx, "x", 1), "Null Remote Address") << host;
    }
    EXPECT_EQ(sends, 0);
}

TEST(UdpComponent, RemoteHostAndPortAreReadAtEverySend) {
    // Two endpoints on the same port number but different loopback addresses, as a device
    // simulator would use; a third on another port.
    QUdpSocket a;
    ASSERT_TRUE(a.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    const quint16 port = a.localPort();
    QUdpSocket b;
    if (!b.bind(QHostAddress(QStringLiteral("127.0.0.3")), port))
        GTEST_SKIP() << "127.0.0.3:" << port << " is taken";
    Receiver c;

    TNMUDP tx;
    tx.SetRemotePort(port);
    struct Step {
        const char* host;
        int port;           // 0: the shared port
        QUdpSocket* socket; // nullptr: the Receiver
    };
    const Step steps[] = {
        {"127.0.0.2", 0, &a}, {"127.0.0.3", 0, &b},
        {"127.0.0.2", 0, &a}, {"127.0.0.1", c.Port(), nullptr},
        {"127.0.0.3", 0, &b},
    };
    int index = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(index);
        tx.SetRemoteHost(QString::fromLatin1(s.host));
        tx.SetRemotePort(s.port ? s.port : port);
        const QByteArray d = "step " + QByteArray::number(index++);
        tx.SendDatagram(d.constData(), int(d.size()));
        if (s.socket) {
            ASSERT_TRUE(WaitFor([&] { return s.socket->hasPendingDatagrams(); }));
            QByteArray got(100, '\0');
            got.resize(s.socket->readDatagram(got.data(), got.size()));
            EXPECT_EQ(got, d);
        } else {
            ASSERT_TRUE(WaitFor([&] { return !c.arrivals.empty(); }));
            EXPECT_EQ(c.arrivals.back().data, d);
        }
    }
    EXPECT_FALSE(a.hasPendingDatagrams());
    EXPECT_FALSE(b.hasPendingDatagrams());
    EXPECT_EQ(c.arrivals.size(), 1u);
}

TEST(UdpComponent, HostNamesAreLookedUpWithoutBlockingEvents) {
    if (!ResolverAnswersPromptly())
        GTEST_SKIP() << "the name service does not answer; lookups cannot be tested here";
    Receiver rx;
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("localhost"));
    tx.SetRemotePort(rx.Port());
    int invalidHost = 0;
    tx.OnInvalidHost = [&](bool&) { ++invalidHost; };
    tx.SendDatagram("by name", 7);
    EXPECT_EQ(invalidHost, 0);
    ASSERT_TRUE(WaitFor([&] { return !rx.arrivals.empty(); }));
    EXPECT_EQ(rx.arrivals[0].data, QByteArray("by name"));
    EXPECT_EQ(rx.arrivals[0].from, QStringLiteral("127.0.0.1"));
}

TEST(UdpComponent, UnresolvableNameFailsAfterTwoLookups) {
    if (!ResolverAnswersPromptly())
        GTEST_SKIP() << "the name service does not answer; lookups cannot be tested here";
    TNMUDP tx;
    tx.SetRemotePort(5002);
    int invalidHost = 0;
    int sends = 0;
    tx.OnInvalidHost = [&](bool& Handled) {
        ++invalidHost;
        Handled = true; // the second lookup happens whatever the handler says
    };
    tx.OnDataSend = [&](TNMUDP*) { ++sends; };
    const char* names[] = {"nonexistent.invalid", "no such host", ""};
    int expectedCalls = 0;
    for (const char* name : names) {
        SCOPED_TRACE(name);
        tx.SetRemoteHost(QString::fromLatin1(name));
        EXPECT_EQ(SendError(tx, "x", 1), "Host Lookup Canceled");
        EXPECT_EQ(invalidHost, ++expectedCalls);
    }
    EXPECT_EQ(sends, 0);
}

TEST(UdpComponent, SameLocalPortTwiceInOneProcess) {
    // The first component keeps the port; the second stays unbound without an error,
    // receives nothing, and can still send.
    TNMUDP first;
    first.SetLocalPort(0);
    const int port = first.BoundPort();
    ASSERT_NE(port, 0);
    first.SetLocalPort(port); // ask for that port by number, as the links do
    ASSERT_TRUE(first.IsBound());
    ASSERT_EQ(first.BoundPort(), port);

    TNMUDP second;
    EXPECT_NO_THROW(second.SetLocalPort(port));
    EXPECT_FALSE(second.IsBound());
    EXPECT_EQ(second.LocalPort(), port);

    std::vector<QByteArray> toFirst, toSecond;
    first.OnDataReceived = [&](TNMUDP* S, int N, const QString&, int) {
        char buffer[64];
        toFirst.emplace_back(buffer, std::max(0, S->ReadDatagram(buffer, 64)));
        (void)N;
    };
    second.OnDataReceived = [&](TNMUDP* S, int, const QString&, int) {
        char buffer[64];
        toSecond.emplace_back(buffer, std::max(0, S->ReadDatagram(buffer, 64)));
    };

    QUdpSocket outside;
    outside.writeDatagram("one", QHostAddress::LocalHost, quint16(port));
    second.SetRemoteHost(QStringLiteral("127.0.0.1"));
    second.SetRemotePort(port);
    second.SendDatagram("two", 3); // the unbound component still sends
    ASSERT_TRUE(WaitFor([&] { return toFirst.size() >= 2; }));
    RunEventsFor(50);
    EXPECT_EQ(toFirst, (std::vector<QByteArray>{"one", "two"}));
    EXPECT_TRUE(toSecond.empty());

    // Once the holder lets go, the port can be had again.
    first.SetLocalPort(0);
    TNMUDP third;
    third.SetLocalPort(port);
    EXPECT_TRUE(third.IsBound());
    EXPECT_EQ(third.BoundPort(), port);
}

TEST(UdpComponent, PortIsSharedWithAnotherEndpointOnAnotherLoopbackAddress) {
    // A device simulator on the same machine answers from 127.0.0.2 with the same port number.
    Receiver host;
    const int port = host.Port();
    host.udp.SetLocalPort(port);
    ASSERT_TRUE(host.udp.IsBound());

    QUdpSocket simulator;
    ASSERT_TRUE(simulator.bind(QHostAddress(QStringLiteral("127.0.0.2")), quint16(port),
                               QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint));
    host.udp.SetRemoteHost(QStringLiteral("127.0.0.2"));
    host.udp.SetRemotePort(port);
    host.udp.SendDatagram("request", 7);
    ASSERT_TRUE(WaitFor([&] { return simulator.hasPendingDatagrams(); }));
    QHostAddress from;
    quint16 fromPort = 0;
    QByteArray got(64, '\0');
    got.resize(simulator.readDatagram(got.data(), got.size(), &from, &fromPort));
    EXPECT_EQ(got, QByteArray("request"));
    EXPECT_EQ(fromPort, port);

    simulator.writeDatagram("answer", from, fromPort);
    ASSERT_TRUE(WaitFor([&] { return !host.arrivals.empty(); }));
    EXPECT_EQ(host.arrivals[0].data, QByteArray("answer"));
    EXPECT_EQ(host.arrivals[0].from, QStringLiteral("127.0.0.2"));
    EXPECT_EQ(host.arrivals[0].port, port);
}

TEST(UdpComponent, RebindingOrReleasingInsideTheEventIsSafe) {
    Receiver rx;
    const int port = rx.Port();
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(port);

    int events = 0;
    rx.udp.OnDataReceived = [&](TNMUDP* Sender, int, const QString&, int) {
        ++events;
        Sender->SetLocalPort(0); // the old socket goes away under the running event
    };
    for (int i = 0; i < 5; ++i)
        tx.SendDatagram("x", 1);
    ASSERT_TRUE(WaitFor([&] { return events >= 1; }));
    RunEventsFor(50);
    EXPECT_EQ(events, 1) << "datagrams queued on the old socket must not be reported";
    EXPECT_TRUE(rx.udp.IsBound());

    auto owned = std::make_unique<TNMUDP>();
    owned->SetLocalPort(0);
    tx.SetRemotePort(owned->BoundPort());
    int released = 0;
    owned->OnDataReceived = [&](TNMUDP*, int, const QString&, int) {
        ++released;
        owned.reset();
    };
    tx.SendDatagram("y", 1);
    tx.SendDatagram("z", 1);
    ASSERT_TRUE(WaitFor([&] { return released >= 1; }));
    RunEventsFor(50);
    EXPECT_EQ(released, 1);
}

TEST(UdpComponent, StatusTextsFollowTheReportLevel) {
    Receiver rx;
    TNMUDP tx;
    tx.SetRemoteHost(QStringLiteral("127.0.0.1"));
    tx.SetRemotePort(rx.Port());
    std::vector<QString> statuses;
    tx.OnStatus = [&](TNMUDP*, const QString& S) { statuses.push_back(S); };
    struct Case {
        int level;
        bool reported;
    };
    const Case cases[] = {{1, false}, {2, true}, {16, true}, {0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        statuses.clear();
        tx.SetReportLevel(c.level);
        tx.SendDatagram("s", 1);
        if (c.reported) {
            ASSERT_EQ(statuses.size(), 1u);
            EXPECT_EQ(statuses[0], QStringLiteral("Sending Data"));
            EXPECT_EQ(tx.LastStatus(), QStringLiteral("Sending Data"));
        } else {
            EXPECT_TRUE(statuses.empty());
        }
    }
}

TEST(UdpComponent, ALookupCanBeCancelledOrOutlivedWhileASendWaits) {
    Receiver rx;
    // A zero-time single shot is queued ahead of the lookup's answer, so it runs while the
    // send waits for that answer.
    {
        TNMUDP tx;
        tx.SetRemoteHost(QStringLiteral("localhost"));
        tx.SetRemotePort(rx.Port());
        int invalidHost = 0;
        tx.OnInvalidHost = [&](bool&) { ++invalidHost; };
        QTimer::singleShot(0, &tx, [&] { tx.CancelLookup(); });
        EXPECT_EQ(SendError(tx, "cancelled", 9), "Host Lookup Canceled");
        EXPECT_EQ(invalidHost, 0) << "a cancel is not a failed lookup";
        // The component is still usable afterwards.
        EXPECT_EQ(SendError(tx, "after", 5), "(sent)");
    }
    {
        auto tx = std::make_unique<TNMUDP>();
        tx->SetRemoteHost(QStringLiteral("localhost"));
        tx->SetRemotePort(rx.Port());
        TNMUDP* raw = tx.get();
        QTimer::singleShot(0, raw, [&] { tx.reset(); });
        EXPECT_EQ(SendError(*raw, "released", 8), "Host Lookup Canceled");
        EXPECT_EQ(tx, nullptr);
    }
    ASSERT_TRUE(WaitFor([&] { return !rx.arrivals.empty(); }));
    RunEventsFor(50);
    ASSERT_EQ(rx.arrivals.size(), 1u);
    EXPECT_EQ(rx.arrivals[0].data, QByteArray("after"));
}
