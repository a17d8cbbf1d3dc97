// orvexfm-cli upload against orvexfm-sim over UDP on the loopback network.

#include "upload_fixture.h"

#include <csignal>

using namespace e2e;

class UdpUpload : public UploadFixture {
protected:
    // A slow device (480 bytes a second: about half a second a block), so that an upload is
    // still running while a test acts on it.
    QStringList SlowDeviceArgs() const {
        return UdpSimArgs() + ContentArgs() +
               QStringList{QStringLiteral("--pace"), QStringLiteral("--udp-pace-rate"),
                           QStringLiteral("4800")};
    }
};

TEST_F(UdpUpload, DetailAndTaxReportComeOutByteExact) {
    for (const ReportKind kind : {ReportKind::Detail, ReportKind::Tax}) {
        SCOPED_TRACE(ReportName(kind));
        Sim sim(UdpSimArgs() + ContentArgs());
        ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
        const QString hex = Path(ReportName(kind)) + QStringLiteral(".hex");
        const CliResult r = RunCli(UploadArgs(UdpArgs(sim), kind, hex));
        ExpectFinishedUpload(r, kind, hex, Content.ExpectedHex(kind));
    }
}

TEST_F(UdpUpload, FaultyNetworkStillGivesTheExactUpload) {
    struct Case {
        const char* Name;
        QStringList Faults;
    };
    const Case cases[] = {
        {"split datagrams", {QStringLiteral("--split-chunks")}},
        {"5% spoilt CRCs",
         {QStringLiteral("--corrupt-crc"), QStringLiteral("5"), QStringLiteral("--seed"),
          QStringLiteral("11")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim sim(UdpSimArgs() + ContentArgs() + c.Faults);
        ASSERT_GT(sim.UdpPort(), 0);
        const QString hex = Path("faulty.hex");
        const CliResult r = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Detail, hex));
        ExpectFinishedUpload(r, ReportKind::Detail, hex, Content.ExpectedHex(ReportKind::Detail));
    }
}

// Two uploads from this machine to the same device port: the second must not share the
// first one's local port (its blocks would land in the other's file). It fails at once with
// the port and its holder named, and the first goes on to its exact end.
TEST_F(UdpUpload, SecondUploadOnTheSamePortFailsWhileTheFirstRuns) {
    // A slow device, so the first upload is still running when the second one starts.
    ASSERT_GE(Content.ExpectedHex(ReportKind::Detail).size(), 5 * 256);
    Sim sim(SlowDeviceArgs());
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString firstHex = Path("first.hex");
    const QString firstTrace = Path("first.trace");
    const QString secondHex = Path("second.hex");
    CliResult second;
    bool firstStillRunning = false;
    const CliResult first =
        RunCli(UploadArgs(UdpArgs(sim), ReportKind::Detail, firstHex,
                          {QStringLiteral("--trace"), firstTrace}),
               kRunGuardMs, [&](QProcess& p) {
                   // The trace is written through: two blocks in, the exchange is under way.
                   if (ReadAll(firstTrace).count(" recv ") < 2)
                       return false;
                   second = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Summary, secondHex));
                   firstStillRunning = p.state() == QProcess::Running;
                   return true;
               });
    ASSERT_TRUE(second.Finished);
    EXPECT_TRUE(firstStillRunning) << "the second upload did not end before the first";
    EXPECT_EQ(second.ExitCode, 3) << second.ErrText().toStdString();
    EXPECT_TRUE(second.ErrText().contains(QStringLiteral("port UDP open fail!")))
        << second.ErrText().toStdString();
    EXPECT_TRUE(second.ErrText().contains(
        QStringLiteral("local UDP port %1 is in use by orvexfm-cli (process ").arg(sim.UdpPort())))
        << second.ErrText().toStdString();
    EXPECT_FALSE(QFile::exists(secondHex));
    ExpectFinishedUpload(first, ReportKind::Detail, firstHex,
                         Content.ExpectedHex(ReportKind::Detail));
}

// Every accepted block is written through to the .hex file as it comes: a process killed
// outright (no clean-up at all) leaves the blocks that had arrived, whole and in order.
TEST_F(UdpUpload, KilledUploadKeepsTheBlocksThatArrived) {
    // A slow device, so the upload is still running at the kill.
    const QByteArray expected = Content.ExpectedHex(ReportKind::Detail);
    ASSERT_GE(expected.size(), 8 * 256);
    Sim sim(SlowDeviceArgs());
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString hex = Path("killed.hex");
    const QString trace = Path("killed.trace");
    bool killed = false;
    const CliResult r = RunCli(
        UploadArgs(UdpArgs(sim), ReportKind::Detail, hex, {QStringLiteral("--trace"), trace}),
        kRunGuardMs, [&](QProcess& p) {
            // Five blocks received (the trace is written before each is handled): at least
            // four are in the file.
            if (ReadAll(trace).count(" recv ") < 5)
                return false;
            killed = ::kill(static_cast<pid_t>(p.processId()), SIGKILL) == 0;
            return true;
        });
    ASSERT_TRUE(killed);
    EXPECT_FALSE(r.Finished) << "ended by itself before the kill";
    const QByteArray kept = ReadAll(hex);
    EXPECT_EQ(kept.size() % 256, 0) << kept.size();
    EXPECT_GE(kept.size(), 4 * 256);
    EXPECT_LT(kept.size(), expected.size());
    EXPECT_TRUE(expected.startsWith(kept));
}
