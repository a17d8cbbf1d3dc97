// orvexfm-cli upload over UDP with the reachability check on: through a lossy relay to the
// simulated device, and against an address that does not answer echo requests or from a
// process that may open no echo socket.
//
// Where the test may make network namespaces (root), every process runs inside one of the
// test's own, so the echo requests can be counted and nothing touches the machine's own
// network settings. Without that the relay uploads run on the machine's loopback and the
// cases that need a namespace are skipped.

#include "upload_fixture.h"

#include "tests/support/proc_net_snmp.h"
#include "transport/icmp_echo.h"

#include <QRegularExpression>

#include <atomic>
#include <unistd.h>

using namespace e2e;

namespace {

struct Ran {
    bool Ok = false;
    QString Output;
};

Ran RunTool(const QString& Program, const QStringList& Args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(Program, Args);
    Ran r;
    if (!p.waitForStarted(kStartGuardMs) || !p.waitForFinished(kStartGuardMs))
        return r;
    r.Output = QString::fromLocal8Bit(p.readAll());
    r.Ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return r;
}

// A network namespace of the test's own with its loopback up; removed when the object goes.
// The name carries the process id and a counter, so parallel runs never share one.
class Netns {
public:
    Netns() {
        static std::atomic<int> counter{0};
        m_name = QStringLiteral("orvexudp-%1-%2").arg(::getpid()).arg(counter++);
        const Ran added =
            RunTool(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), m_name});
        if (!added.Ok) {
            m_error = QStringLiteral("cannot make a network namespace (needs root and the ip "
                                     "tool): ") +
                      added.Output.trimmed();
            return;
        }
        m_made = true;
        const Ran up = RunTool(QStringLiteral("ip"),
                               {QStringLiteral("-n"), m_name, QStringLiteral("link"),
                                QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
        if (!up.Ok)
            m_error = QStringLiteral("cannot bring up the namespace's loopback: ") + up.Output;
    }
    ~Netns() {
        if (m_made)
            RunTool(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), m_name});
    }
    Netns(const Netns&) = delete;
    Netns& operator=(const Netns&) = delete;

    bool Ready() const { return m_made && m_error.isEmpty(); }
    QString Error() const { return m_error; }

    // Program and arguments that run Args (program first) inside the namespace.
    QStringList Inside(const QStringList& Args) const {
        return QStringList{QStringLiteral("ip"), QStringLiteral("netns"), QStringLiteral("exec"),
                           m_name} +
               Args;
    }
    bool Run(const QStringList& Args) const {
        const QStringList all = Inside(Args);
        return RunTool(all.front(), all.mid(1)).Ok;
    }
    // One field of the namespace's "Icmp:" statistics; -1 when it cannot be read.
    long IcmpCounter(const QString& Field) const {
        const QStringList all = Inside({QStringLiteral("cat"), QStringLiteral("/proc/net/snmp")});
        const Ran r = RunTool(all.front(), all.mid(1));
        return r.Ok ? IcmpCounterFromSnmp(r.Output, Field) : -1;
    }

private:
    QString m_name;
    QString m_error;
    bool m_made = false;
};

// Runs Command (program first) to its end, or kills it at the hang guard.
CliResult RunToEnd(const QStringList& Command, int GuardMs = kRunGuardMs) {
    CliResult r;
    QProcess p;
    p.start(Command.front(), Command.mid(1));
    if (!p.waitForStarted(kStartGuardMs))
        return r;
    if (!p.waitForFinished(GuardMs)) {
        p.kill();
        p.waitForFinished(kStartGuardMs);
    } else {
        r.Finished = p.exitStatus() == QProcess::NormalExit;
        r.ExitCode = p.exitCode();
    }
    r.Out = p.readAllStandardOutput();
    r.Err = p.readAllStandardError();
    return r;
}

bool EchoSocketPermitted() {
    try {
        TIcmpEcho probe;
        return true;
    } catch (const EIcmpError&) {
        return false;
    }
}

// "dropped N" of one direction ("up" or "down") of the relay's closing line; -1 if missing.
long RelayDropped(const QString& Summary, const char* Direction) {
    const QRegularExpression re(QStringLiteral("%1 received \\d+ forwarded \\d+ dropped (\\d+)")
                                    .arg(QLatin1String(Direction)));
    const QRegularExpressionMatch m = re.match(Summary);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

int CountLinesStartingWith(const QByteArray& Text, const char* Start) {
    int n = 0;
    for (const QByteArray& line : Text.split('\n')) {
        // Trace lines: "SECONDS.MS send AA ..." / "... recv ...".
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 1 && fields[1] == Start)
            ++n;
    }
    return n;
}

class UdpRelayUpload : public UploadFixture {
protected:
    // Command lines run inside the namespace when there is one, else on this machine.
    QStringList In(const QStringList& Args) const {
        return Namespace.Ready() ? Namespace.Inside(Args) : Args;
    }

    Netns Namespace;
};

} // namespace

// A tax-rate upload through the relay, the device behind it on another loopback address: the
// check before the upload sends its echo requests to the relay's address, and the joined
// .hex file and the report are exact, also when the relay loses 5 % of the datagrams in each
// direction (the seed makes it lose at least one of the first few either way).
TEST_F(UdpRelayUpload, TaxRateUploadIsExactThroughALossyRelay) {
    if (!EchoSocketPermitted())
        GTEST_SKIP() << "no ICMP echo socket may be opened here, so the check cannot pass";
    if (!Namespace.Ready())
        std::fprintf(stderr, "running on this machine's loopback: %s\n",
                     Namespace.Error().toLocal8Bit().constData());
    struct Case {
        const char* Name;
        const char* Drop;
        bool ExpectLoss;
    };
    const Case cases[] = {
        {"no loss", "0", false},
        {"5 % lost each way", "5", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Daemon sim(In(QStringList{BinPath("orvexfm-sim"), QStringLiteral("--udp"),
                                  QStringLiteral("--bind"), QStringLiteral("127.0.0.2"),
                                  QStringLiteral("--port"), QStringLiteral("0")} +
                      ContentArgs()));
        ASSERT_TRUE(sim.FirstLine().startsWith(QStringLiteral("UDP ")))
            << sim.FirstLine().toStdString();
        const QString port = QString::number(sim.Port());
        Daemon relay(In({BinPath("orvexfm-udprelay"), QStringLiteral("--listen"),
                         QStringLiteral("127.0.0.3:") + port, QStringLiteral("--target"),
                         QStringLiteral("127.0.0.2:") + port, QStringLiteral("--drop"),
                         QLatin1String(c.Drop), QStringLiteral("--seed"), QStringLiteral("11")}));
        ASSERT_EQ(relay.FirstLine(), QStringLiteral("RELAY 127.0.0.3:") + port);

        const long echoesBefore =
            Namespace.Ready() ? Namespace.IcmpCounter(QStringLiteral("InEchos")) : -1;
        const QString hex = Path("tax.hex");
        const CliResult r =
            RunToEnd(In(QStringList{BinPath("orvexfm-cli")} +
                        UploadArgs({QStringLiteral("--udp"), QStringLiteral("127.0.0.3"),
                                    QStringLiteral("--udp-port"), port},
                                   ReportKind::Tax, hex)));
        ExpectFinishedUpload(r, ReportKind::Tax, hex, Content.ExpectedHex(ReportKind::Tax));
        EXPECT_EQ(DufileNames(QStringLiteral("Header")).size(),
                  DufileNames(QStringLiteral("Footer")).size());

        if (Namespace.Ready()) {
            // One check before the upload: four requests. Over UDP the link makes progress with
            // its first request, so no check follows during the waits.
            EXPECT_EQ(Namespace.IcmpCounter(QStringLiteral("InEchos")) - echoesBefore, 4);
        }
        const QString summary = relay.Stop();
        if (c.ExpectLoss) {
            EXPECT_GT(RelayDropped(summary, "up"), 0) << summary.toStdString();
            EXPECT_GT(RelayDropped(summary, "down"), 0) << summary.toStdString();
        } else {
            EXPECT_EQ(RelayDropped(summary, "up"), 0) << summary.toStdString();
            EXPECT_EQ(RelayDropped(summary, "down"), 0) << summary.toStdString();
        }
        QFile::remove(hex);
    }
}

// Failing checks seen from the command line, each in a namespace of its own with nothing
// listening: an address whose echo requests go unanswered gives the two time-out lines and
// exit 4 after the one request that still goes out; a process that may open no echo socket
// is told "ICMP运行错误" and sends nothing (exit 3).
TEST(UdpCheckFromTheCommandLine, FailingCheckEndsTheUploadAtOnce) {
    struct Case {
        const char* Name;
        bool IgnoreEchoes;   // the namespace's loopback answers no echo request
        bool WithoutRawIcmp; // the tool runs without CAP_NET_RAW (no datagram ICMP either)
        int Exit;
        QStringList Lines;
        int Requests;
    };
    const Case cases[] = {
        {"unanswered",
         true,
         false,
         4,
         {QStringLiteral("timeout..."), QStringLiteral("connect fail...")},
         1},
        {"no echo socket", false, true, 3, {QString::fromUtf8(kIcmpRunError)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Netns ns;
        if (!ns.Ready())
            GTEST_SKIP() << ns.Error().toStdString();
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        QStringList prefix;
        if (c.IgnoreEchoes) {
            ASSERT_TRUE(ns.Run({QStringLiteral("sysctl"), QStringLiteral("-qw"),
                                QStringLiteral("net.ipv4.icmp_echo_ignore_all=1")}));
        }
        if (c.WithoutRawIcmp) {
            if (RunTool(QStringLiteral("setpriv"), {QStringLiteral("--version")}).Output.isEmpty())
                GTEST_SKIP() << "setpriv is not installed";
            // The namespace's own ping_group_range is "1 0": no group may use datagram ICMP.
            prefix = {QStringLiteral("setpriv"), QStringLiteral("--bounding-set"),
                      QStringLiteral("-net_raw"), QStringLiteral("--inh-caps"),
                      QStringLiteral("-net_raw")};
        }
        const QString hex = dir.filePath(QStringLiteral("up.hex"));
        const QString trace = dir.filePath(QStringLiteral("trace.txt"));
        const CliResult r = RunToEnd(ns.Inside(
            prefix + QStringList{BinPath("orvexfm-cli"), QStringLiteral("upload"),
                                 QStringLiteral("--udp"), QStringLiteral("127.0.0.3"),
                                 QStringLiteral("--report"), QStringLiteral("detail"),
                                 QStringLiteral("--out"), hex, QStringLiteral("--work-dir"),
                                 dir.path(), QStringLiteral("--trace"), trace}));
        ASSERT_TRUE(r.Finished) << r.ErrText().toStdString();
        EXPECT_EQ(r.ExitCode, c.Exit) << r.ErrText().toStdString();
        QStringList lines = r.ErrText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        EXPECT_EQ(lines, c.Lines);
        EXPECT_EQ(CountLinesStartingWith(ReadAll(trace), "send"), c.Requests);
        EXPECT_EQ(CountLinesStartingWith(ReadAll(trace), "recv"), 0);
        // Nothing was decoded: no report, no list entry.
        EXPECT_TRUE(r.Out.trimmed().isEmpty());
        EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("Txtfile"))).isEmpty());
        EXPECT_EQ(QFile::exists(hex), c.Requests > 0);
    }
}
