// Uploads that take tens of seconds by design: the host's bit-rate attempts of 5 s each.

#include "upload_fixture.h"

using namespace e2e;

namespace {

struct Attempt {
    int LineRate;
    int Divisor; // byte 7 of H_SETBAUD: 115200 / the rate asked for
    bool operator==(const Attempt&) const = default;
};

void PrintTo(const Attempt& A, std::ostream* Os) {
    *Os << "(" << A.LineRate << ", " << A.Divisor << ")";
}

// The H_SETBAUD frames of a --trace file with the line rate each went out at.
std::vector<Attempt> BitRateAttempts(const QByteArray& Trace) {
    std::vector<Attempt> out;
    int rate = 0;
    for (const QByteArray& line : Trace.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() >= 3 && words[1] == "rate")
            rate = words[2].toInt();
        if (words.size() != 2 + 13 || words[1] != "send")
            continue;
        if (words[2 + 5] == "80" && words[2 + 6] == "00")
            out.push_back({rate, words[2 + 7].toInt(nullptr, 16)});
    }
    return out;
}

} // namespace

class SlowUpload : public UploadFixture {};

// The host alternates its line between 9600 and 115200; a device that hears only one rate
// is found at the second (115200) or third (9600 asking 9600) attempt.
TEST_F(SlowUpload, AlternatingBitRateAttemptsFindTheDevice) {
    struct Case {
        int OnlyRate;
        std::vector<Attempt> Expected;
    };
    const Case cases[] = {
        {115200, {{9600, 1}, {115200, 1}}},
        {9600, {{9600, 1}, {115200, 1}, {9600, 12}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.OnlyRate);
        Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--only-rate"),
                            QString::number(c.OnlyRate)} +
                ContentArgs());
        ASSERT_FALSE(sim.PtyPath().isEmpty());
        const QString hex = Path("rate.hex");
        const QString trace = Path("rate.trace");
        const CliResult r =
            RunCli(UploadArgs({QStringLiteral("--port"), sim.PtyPath()}, ReportKind::Detail, hex,
                              {QStringLiteral("--trace"), trace}));
        ExpectFinishedUpload(r, ReportKind::Detail, hex, Content.ExpectedHex(ReportKind::Detail));
        const QByteArray log = ReadAll(trace);
        EXPECT_EQ(BitRateAttempts(log), c.Expected);
        // Every Detail request went out at the agreed rate.
        EXPECT_TRUE(log.contains(QByteArray("rate ") + QByteArray::number(c.OnlyRate) + "\n"));
        const qsizetype lastRate = log.lastIndexOf(" rate ");
        const qsizetype firstRequest = log.indexOf(" send aa 01 00 00 00 80 10 ");
        EXPECT_LT(lastRate, firstRequest);
    }
}

// A device that never answers: six bit-rate attempts of 5 s, alternating the line rate, then
// "timeout..." and "connect fail...".
TEST_F(SlowUpload, SilentDeviceTimesOutAfterSixAttempts) {
    Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--silent-after"),
                        QStringLiteral("0")} +
            ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    const QString hex = Path("silent.hex");
    const QString trace = Path("silent.trace");
    const CliResult r =
        RunCli(UploadArgs({QStringLiteral("--port"), sim.PtyPath()}, ReportKind::Detail, hex,
                          {QStringLiteral("--trace"), trace}));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 4);
    const QString err = r.ErrText();
    EXPECT_TRUE(err.contains(QStringLiteral("timeout...\nconnect fail..."))) << err.toStdString();
    const std::vector<Attempt> expected = {{9600, 1},   {115200, 1}, {9600, 12},
                                           {115200, 1}, {9600, 12},  {115200, 1}};
    EXPECT_EQ(BitRateAttempts(ReadAll(trace)), expected);
    EXPECT_TRUE(ReadAll(trace).contains("Varn Command: catch ack fail"));
    EXPECT_TRUE(ListEntries().isEmpty());
    EXPECT_EQ(ReadAll(hex).size(), 0);
}

// A device that falls silent after two blocks: once the retries have run out (about 40 s
// over UDP, a minute over serial), the time-out lines are followed by what the operator needs
// to know: the device stopped answering, how many packets came, and the partial file that
// keeps them.
TEST_F(SlowUpload, DeviceSilentAfterDataNamesThePartialFileAndItsPackets) {
    Sim sim(UdpSimArgs() + ContentArgs() +
            QStringList{QStringLiteral("--silent-after"), QStringLiteral("2")});
    ASSERT_GT(sim.UdpPort(), 0) << sim.FirstLine().toStdString();
    const QString hex = Path("partial.hex");
    const CliResult r = RunCli(UploadArgs(UdpArgs(sim), ReportKind::Detail, hex));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 4);
    EXPECT_TRUE(r.ErrText().contains(
        QStringLiteral("timeout...\nconnect fail...\nthe device stopped answering; packets "
                       "received: 2, kept in the partial file %1\n")
            .arg(hex)))
        << r.ErrText().toStdString();
    EXPECT_EQ(ReadAll(hex), Content.ExpectedHex(ReportKind::Detail).left(2 * 256));
    EXPECT_TRUE(ListEntries().isEmpty());
}
