// orvexfm-cli upload against devices and lines that misbehave: an echoing line, a device that
// never marks its last block, a false frame header, a line that hangs up, stale and late
// answers. Each test plays one fault with the simulator and states what a sound upload does.

#include "upload_fixture.h"

#include <QRegularExpression>

using namespace e2e;

namespace {

int Blocks(const QByteArray& Area) {
    return int(ToFiscalBlocks(Area).size() / 256);
}

// Requests of one command the device served, from its summary line.
int Served(const QString& Summary, const char* Command) {
    const QRegularExpression re(QStringLiteral("%1 (\\d+)").arg(QLatin1String(Command)));
    const QRegularExpressionMatch m = re.match(Summary);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

} // namespace

class FaultyDeviceUpload : public UploadFixture {};

// A loop-back in front of the device hands the host each request back before the answer.
// A frame identical to the request just sent is its echo, never the answer.
TEST_F(FaultyDeviceUpload, EchoingSerialLineStillGivesTheExactUpload) {
    Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--echo")} + ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty()) << sim.FirstLine().toStdString();
    const QString hex = Path("echo.hex");
    const CliResult r = RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex), 30000);
    ExpectFinishedUpload(r, ReportKind::Detail, hex, Content.ExpectedHex(ReportKind::Detail));
}

// A device that never marks its last block answers every block the host asks for. The block
// counter must not wrap to block 0 after 65535: the upload stops there with an error.
TEST_F(FaultyDeviceUpload, DeviceWithoutEndMarkerStopsAtTheLastBlockNumber) {
    Sim sim(UdpSimArgs() + ContentArgs() + QStringList{QStringLiteral("--no-end-marker")});
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString hex = Path("endless.hex");
    // 65536 blocks take a few seconds over loopback; the guard is far beyond that.
    const CliResult r = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Detail, hex));
    const QString summary = sim.Stop();
    EXPECT_TRUE(r.Finished) << "still running at the guard";
    EXPECT_NE(r.ExitCode, 0) << r.ErrText().toStdString();
    EXPECT_TRUE(r.ErrText().contains(QStringLiteral("No end marker up to block 65535")))
        << r.ErrText().toStdString();
    // Every block number once (a few retransmissions aside), never block 0 again.
    EXPECT_LE(Served(summary, "H_UPLOAD_Detail"), 65536 + 6) << summary.toStdString();
    EXPECT_LE(ReadAll(hex).size(), 65536 * 256);
}

// Noise whose header sum happens to fit claims about 4094 data bytes and swallows the
// answers behind it. Once its body is overdue at the line's rate the finder gives it up and
// finds the real answers in what it collected; the upload finishes within its retries.
TEST_F(FaultyDeviceUpload, FalseFrameHeaderCostsNoMoreThanOneTimeOut) {
    Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--false-header"),
                        QStringLiteral("3")} +
            ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty()) << sim.FirstLine().toStdString();
    const QString hex = Path("false-header.hex");
    const CliResult r = RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex), 60000);
    ExpectFinishedUpload(r, ReportKind::Detail, hex, Content.ExpectedHex(ReportKind::Detail));
    EXPECT_TRUE(sim.Stop().contains(QStringLiteral("false headers 1")));
}

// The device closes its side of the line (an adapter pulled out) after the third answer. The
// session ends at once with a message naming the disconnect, not after the whole retry
// budget (about a minute, past this test's guard).
TEST_F(FaultyDeviceUpload, SerialHangUpEndsTheUploadAtOnce) {
    Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--hang-up-after"),
                        QStringLiteral("3")} +
            ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty()) << sim.FirstLine().toStdString();
    const QString hex = Path("hang-up.hex");
    const CliResult r = RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex), 20000);
    ASSERT_TRUE(r.Finished) << "still waiting at the guard: " << r.ErrText().toStdString();
    EXPECT_EQ(r.ExitCode, 3) << "the line failed, as a port that does not open";
    EXPECT_TRUE(r.ErrText().contains(QStringLiteral("disconnect"), Qt::CaseInsensitive))
        << r.ErrText().toStdString();
    // What arrived before the hang-up stays: the two blocks after the bit-rate acknowledge.
    EXPECT_EQ(ReadAll(hex), Content.ExpectedHex(ReportKind::Detail).left(2 * 256));
}

// Over UDP a stale empty datagram (an old sequence byte) arrives during the change-data
// exchange. Every device answer echoes its request's sequence byte, so it is not the answer
// that ends the exchange; the joined file keeps all ten change-data blocks.
TEST_F(FaultyDeviceUpload, StaleEmptyDatagramDoesNotEndTheChangeData) {
    // Over UDP the answers are the header's blocks, the footer's, then the change data.
    const int fourthChangeBlock = Blocks(Content.Header) + Blocks(Content.Footer) + 4;
    Sim sim(UdpSimArgs() + ContentArgs() +
            QStringList{QStringLiteral("--stale-empty"), QString::number(fourthChangeBlock)});
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString hex = Path("stale.hex");
    const CliResult r = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Tax, hex));
    ExpectFinishedUpload(r, ReportKind::Tax, hex, Content.ExpectedHex(ReportKind::Tax));
    EXPECT_TRUE(sim.Stop().contains(QStringLiteral("stale empty answers 1")));
}

// A copy of the header's last answer arrives after the pause between the exchanges, while
// the footer's second block is awaited (its answer was lost) and with that request's
// sequence byte. It must not become the footer: the upload waits for the true footer, which
// the retransmission of the lost answer's request brings.
TEST_F(FaultyDeviceUpload, LateHeaderCopyNeverBecomesTheFooter) {
    const int headerLast = Blocks(Content.Header);
    ASSERT_GE(Blocks(Content.Footer), 2);
    Sim sim(UdpSimArgs() + ContentArgs() +
            QStringList{QStringLiteral("--late-copy"), QString::number(headerLast),
                        QStringLiteral("--late-copy-ms"), QStringLiteral("150"),
                        QStringLiteral("--drop"), QString::number(headerLast + 2)});
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString hex = Path("late.hex");
    const CliResult r = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Tax, hex));
    ExpectFinishedUpload(r, ReportKind::Tax, hex, Content.ExpectedHex(ReportKind::Tax));
    EXPECT_TRUE(sim.Stop().contains(QStringLiteral("late copies 1")));
}
