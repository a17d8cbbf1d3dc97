// orvexfm-cli upload against orvexfm-sim on a pseudo-terminal.

#include "upload_fixture.h"

#include "sim/sim_content.h"
#include "tests/support/file_size_limit.h"

#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

using namespace e2e;

class PtyUpload : public UploadFixture {};

TEST_F(PtyUpload, PrintoutReportsComeOutByteExact) {
    for (const ReportKind kind : {ReportKind::Detail, ReportKind::Summary}) {
        SCOPED_TRACE(ReportName(kind));
        Sim sim(QStringList{QStringLiteral("--pty")} + ContentArgs());
        ASSERT_FALSE(sim.PtyPath().isEmpty()) << sim.FirstLine().toStdString();
        const QString hex = Path(kind == ReportKind::Detail ? "detail.hex" : "summary.hex");
        const CliResult r = RunCli(UploadArgs(PortArgs(sim), kind, hex));
        ExpectFinishedUpload(r, kind, hex, Content.ExpectedHex(kind));
        EXPECT_TRUE(DufileNames(QStringLiteral("Header")).isEmpty());
    }
    EXPECT_EQ(ListEntries().size(), 2);
}

// The three change reports one after the other into one work folder: each fetches its own
// header and footer into Dufile/, and nothing of an earlier upload is overwritten.
TEST_F(PtyUpload, ChangeReportsJoinHeaderChangeDataAndFooter) {
    Sim sim(QStringList{QStringLiteral("--pty")} + ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    QStringList reports;
    for (const ReportKind kind : {ReportKind::Tax, ReportKind::Currency, ReportKind::Ram}) {
        SCOPED_TRACE(ReportName(kind));
        const QString hex = Path(ReportName(kind)) + QStringLiteral(".hex");
        const CliResult r = RunCli(UploadArgs(PortArgs(sim), kind, hex));
        ExpectFinishedUpload(r, kind, hex, Content.ExpectedHex(kind));
        reports.append(r.LastOutLine());
    }
    const QStringList headers = DufileNames(QStringLiteral("Header"));
    const QStringList footers = DufileNames(QStringLiteral("Footer"));
    ASSERT_EQ(headers.size(), 3);
    ASSERT_EQ(footers.size(), 3);
    for (const QString& h : headers)
        EXPECT_EQ(ReadAll(WorkDir() + QStringLiteral("/Dufile/") + h),
                  ToFiscalBlocks(Content.Header));
    for (const QString& f : footers)
        EXPECT_EQ(ReadAll(WorkDir() + QStringLiteral("/Dufile/") + f),
                  ToFiscalBlocks(Content.Footer));
    EXPECT_EQ(ListEntries().size(), 3);
    EXPECT_EQ(QSet<QString>(reports.begin(), reports.end()).size(), 3);
}

// Detail by Z numbers and by dates: the device is asked for the range and serves only the
// daily reports in it; a change report applies the range itself when decoding.
TEST_F(PtyUpload, RangesReachTheDeviceOrTheDecoder) {
    GeneratedContentSettings settings;
    settings.Seed = 3;
    settings.Days = 12;
    settings.Width = kWidth;
    struct Case {
        ReportKind Kind;
        QString Range;
        PrintoutRange Device; // what the device must have been asked for
    };
    const Case cases[] = {
        {ReportKind::Detail, QStringLiteral("z:3-5"), {PrintoutRange::Kind::ZNumbers, 3, 5}},
        {ReportKind::Detail,
         QStringLiteral("date:240104-240109"),
         {PrintoutRange::Kind::Dates, 240104, 240109}},
        {ReportKind::Summary, QStringLiteral("z:2-11"), {PrintoutRange::Kind::ZNumbers, 2, 11}},
        {ReportKind::Detail, QStringLiteral("all"), {PrintoutRange::Kind::ZNumbers, 1, 2100}},
        {ReportKind::Tax, QStringLiteral("date:240101-251231"), {}},
        {ReportKind::Ram, QStringLiteral("z:1-3"), {}},
    };
    Sim sim({QStringLiteral("--pty"), QStringLiteral("--days"), QStringLiteral("12"),
             QStringLiteral("--content-seed"), QStringLiteral("3")});
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    GeneratedContent generated(settings);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Range.toStdString());
        const QString hex = Path("range") + QString::number(n++) + QStringLiteral(".hex");
        const CliResult r =
            RunCli(UploadArgs(PortArgs(sim), c.Kind, hex, {QStringLiteral("--range"), c.Range}));
        QByteArray expected;
        if (ReportKindOf(c.Kind).Printout) {
            expected = ToFiscalBlocks(generated.FiscalMemory(
                c.Kind == ReportKind::Detail ? FmArea::Detail : FmArea::Summary, c.Device));
        } else {
            expected = ToFiscalBlocks(generated.FiscalMemory(FmArea::Header, {})) +
                       generated.ChangeData() +
                       ToFiscalBlocks(generated.FiscalMemory(FmArea::Footer, {}));
        }
        ExpectFinishedUpload(r, c.Kind, hex, expected,
                             ReportKindOf(c.Kind).Printout ? QStringLiteral("all") : c.Range);
    }
}

// Damaged lines: answers cut into pieces, spoilt checksums, a lost answer. The time-outs and
// retransmissions must still deliver every block exactly once.
TEST_F(PtyUpload, FaultyLineStillGivesTheExactUpload) {
    struct Case {
        const char* Name;
        QStringList Faults;
    };
    const Case cases[] = {
        {"split chunks", {QStringLiteral("--split-chunks")}},
        {"5% spoilt CRCs",
         {QStringLiteral("--corrupt-crc"), QStringLiteral("5"), QStringLiteral("--seed"),
          QStringLiteral("11")}},
        {"one answer dropped", {QStringLiteral("--drop"), QStringLiteral("4")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim sim(QStringList{QStringLiteral("--pty")} + ContentArgs() + c.Faults);
        ASSERT_FALSE(sim.PtyPath().isEmpty());
        const QString hex = Path("faulty.hex");
        const CliResult r = RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex));
        ExpectFinishedUpload(r, ReportKind::Detail, hex, Content.ExpectedHex(ReportKind::Detail));
        const QString summary = sim.Stop();
        if (c.Faults.contains(QStringLiteral("--drop"))) {
            EXPECT_TRUE(summary.contains(QStringLiteral("dropped 1"))) << summary.toStdString();
        }
    }
}

TEST_F(PtyUpload, RefusedRequestEndsWithUploadFail) {
    for (const ReportKind kind : {ReportKind::Detail, ReportKind::Tax}) {
        SCOPED_TRACE(ReportName(kind));
        const char* refused = kind == ReportKind::Detail ? "H_UPLOAD_Detail" : "H_UPLOAD_Footer";
        Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--refuse"),
                            QLatin1String(refused)} +
                ContentArgs());
        ASSERT_FALSE(sim.PtyPath().isEmpty());
        const QString hex =
            Path(kind == ReportKind::Detail ? "refused-detail.hex" : "refused-tax.hex");
        const CliResult r = RunCli(UploadArgs(PortArgs(sim), kind, hex));
        ASSERT_TRUE(r.Finished);
        EXPECT_EQ(r.ExitCode, 5) << r.ErrText().toStdString();
        EXPECT_TRUE(r.ErrText().contains(QStringLiteral("upload fail...")));
        EXPECT_FALSE(r.ErrText().contains(QStringLiteral("timeout...")));
        EXPECT_FALSE(r.ErrText().contains(QStringLiteral("Finish")));
        EXPECT_TRUE(r.Out.isEmpty());
        EXPECT_TRUE(ListEntries().isEmpty());
        // A refused footer ends the whole action: no main exchange creates the .hex file.
        if (kind == ReportKind::Tax) {
            EXPECT_FALSE(QFileInfo::exists(hex));
        }
    }
}

TEST_F(PtyUpload, MissingPortExitsWithOpenFail) {
    const QString port = Path("no-such-tty");
    const CliResult r =
        RunCli(UploadArgs({QStringLiteral("--port"), port}, ReportKind::Detail, Path("never.hex")));
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 3);
    EXPECT_TRUE(r.ErrText().contains(QStringLiteral("port %1 open fail!").arg(port)))
        << r.ErrText().toStdString();
    EXPECT_FALSE(QFileInfo::exists(Path("never.hex")));
}

// Bad ranges are refused with the program's messages before any port is touched.
TEST_F(PtyUpload, BadRangesExitWithTheMessage) {
    struct Case {
        ReportKind Kind;
        QString Range;
        QString Message;
    };
    const Case cases[] = {
        {ReportKind::Detail, QStringLiteral("z:-5"), QStringLiteral("input Z Count No. error")},
        {ReportKind::Summary, QStringLiteral("z:12345-12346"),
         QStringLiteral("input Z Count No. error")},
        {ReportKind::Detail, QStringLiteral("date:-240105"), QStringLiteral("input date error")},
        {ReportKind::Detail, QStringLiteral("date:2401-240105"),
         QStringLiteral("date format error")},
        {ReportKind::Summary, QStringLiteral("z:1x-4"),
         QStringLiteral("'1x' is not a valid integer value")},
        {ReportKind::Tax, QStringLiteral("z:6-5"), QStringLiteral("Data Error")},
        {ReportKind::Currency, QStringLiteral("date:241231-240101"), QStringLiteral("Data Error")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Range.toStdString());
        const CliResult r =
            RunCli(UploadArgs({QStringLiteral("--port"), Path("no-such-tty")}, c.Kind,
                              Path("never.hex"), {QStringLiteral("--range"), c.Range}));
        ASSERT_TRUE(r.Finished);
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(r.ErrText().contains(c.Message)) << r.ErrText().toStdString();
        EXPECT_FALSE(r.ErrText().contains(QStringLiteral("open fail")));
    }
}

TEST_F(PtyUpload, UsageErrorsExitWithTwo) {
    const QStringList cases[] = {
        {QStringLiteral("upload"), QStringLiteral("--report"), QStringLiteral("detail"),
         QStringLiteral("--out"), Path("x.hex")},
        {QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null"),
         QStringLiteral("--out"), Path("x.hex")},
        {QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null"),
         QStringLiteral("--report"), QStringLiteral("detail")},
        {QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null"),
         QStringLiteral("--udp"), QStringLiteral("127.0.0.2"), QStringLiteral("--report"),
         QStringLiteral("detail"), QStringLiteral("--out"), Path("x.hex")},
        {QStringLiteral("upload"), QStringLiteral("--udp"), QStringLiteral("127.0.0.2"),
         QStringLiteral("--udp-port"), QStringLiteral("70000"), QStringLiteral("--report"),
         QStringLiteral("detail"), QStringLiteral("--out"), Path("x.hex")},
        {QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null"),
         QStringLiteral("--report"), QStringLiteral("weekly"), QStringLiteral("--out"),
         Path("x.hex")},
        {QStringLiteral("upload"), QStringLiteral("--port"), QStringLiteral("/dev/null"),
         QStringLiteral("--report"), QStringLiteral("detail"), QStringLiteral("--out"),
         Path("x.hex"), QStringLiteral("--range"), QStringLiteral("z:5")},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(u' ').toStdString());
        const CliResult r = RunCli(args);
        ASSERT_TRUE(r.Finished);
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(r.ErrText().contains(QStringLiteral("orvexfm-cli upload")));
    }
}

// Ctrl-C, SIGTERM and SIGHUP cancel like the Cancel button: the wait ends at once, the blocks
// received so far stay in the .hex file, nothing is decoded, and the status names the signal.
TEST_F(PtyUpload, InterruptCancelsAndKeepsThePartialFile) {
    const struct {
        int signal;
        int exitCode;
        const char* name;
    } cases[] = {{SIGINT, 130, "Ctrl-C"}, {SIGTERM, 143, "SIGTERM"}, {SIGHUP, 129, "SIGHUP"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Four blocks come, then the device falls silent and the host retransmits.
        Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--silent-after"),
                            QStringLiteral("5")} +
                ContentArgs());
        ASSERT_FALSE(sim.PtyPath().isEmpty());
        const QString hex = Path("partial.hex");
        const QString trace = Path("partial.trace");
        // The previous case's trace would set the signal off before this run is under way.
        QFile::remove(trace);
        QFile::remove(hex);
        const CliResult r = RunCli(
            UploadArgs(PortArgs(sim), ReportKind::Detail, hex, {QStringLiteral("--trace"), trace}),
            kRunGuardMs, [&](QProcess& p) {
                // Interrupt once the fifth request (the first one left unanswered) has gone
                // out.
                if (ReadAll(trace).count(" send aa 01 00 00 00 80 10 ") < 5)
                    return false;
                ::kill(static_cast<pid_t>(p.processId()), c.signal);
                return true;
            });
        ASSERT_TRUE(r.Finished) << r.ErrText().toStdString();
        EXPECT_EQ(r.ExitCode, c.exitCode);
        EXPECT_TRUE(r.ErrText().contains(QStringLiteral("cancel upload...")));
        EXPECT_TRUE(r.ErrText().contains(QStringLiteral("ended by %1").arg(c.name)))
            << r.ErrText().toStdString();
        EXPECT_EQ(ReadAll(hex), ToFiscalBlocks(Content.Detail).left(4 * 256));
        EXPECT_TRUE(r.Out.isEmpty());
        EXPECT_TRUE(ListEntries().isEmpty());
    }
}

// The link opens --out for writing: a named pipe would block that for ever (and Ctrl-C with
// it), a device or a folder is no upload file. Each is refused before the port is opened.
TEST_F(PtyUpload, OutputThatIsNoRegularFileIsRefusedAtOnce) {
    const QString fifo = Path("pipe.hex");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QString out;
        QString reason;
    } cases[] = {
        {fifo, QStringLiteral("is a named pipe (FIFO), not a regular file")},
        {WorkDir(), qt_error_string(EISDIR)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out.toStdString());
        const CliResult r =
            RunCli(UploadArgs({QStringLiteral("--port"), QStringLiteral("/dev/null")},
                              ReportKind::Detail, c.out),
                   kStartGuardMs);
        ASSERT_TRUE(r.Finished) << "blocked on the output";
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(
            r.ErrText().contains(QStringLiteral("Cannot create file %1: %2").arg(c.out, c.reason)))
            << r.ErrText().toStdString();
        EXPECT_FALSE(r.ErrText().contains(QStringLiteral("open fail"))) << "port opened first";
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile());
}

// A full disk after the data came, in small: the child may not grow any file past a limit
// that the .hex file and the report fit under. What could not be written is named with the
// system's reason, the run ends with 7, and nothing that was there before is lost.
TEST_F(PtyUpload, LocalFileThatCannotBeWrittenExitsWithSeven) {
    // An earlier list of 40 reports; with one entry more it outgrows the limit.
    const QString list = WorkDir() + QStringLiteral("/Data/FMList.txt");
    ASSERT_TRUE(QDir().mkpath(WorkDir() + QStringLiteral("/Data")));
    QByteArray listBytes = "ReportType\tfilename\tdCreate\r\n";
    for (int i = 0; i < 40; ++i)
        listBytes +=
            "Detail\t" + QByteArray(120, 'r') + QByteArray::number(i) + ".txt\t01/02/2024\r\n";
    const qint64 listLimit = listBytes.size();
    ASSERT_GT(listLimit, ToFiscalBlocks(Content.Detail).size() + 256);

    const struct {
        const char* name;
        bool trace;
        qint64 limit;
        QString what;
    } cases[] = {
        {"report list", false, listLimit,
         QStringLiteral("Cannot write %1: %2").arg(list, qt_error_string(EFBIG))},
        {"trace", true, listLimit,
         QStringLiteral("cannot write the trace file %1: %2; the upload goes on")
             .arg(Path("limited.trace"), qt_error_string(EFBIG))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteFile(list, c.trace ? QByteArray() : listBytes));
        Sim sim(QStringList{QStringLiteral("--pty")} + ContentArgs());
        ASSERT_FALSE(sim.PtyPath().isEmpty());
        const QString hex = Path("limited.hex");
        const QStringList more =
            c.trace ? QStringList{QStringLiteral("--trace"), Path("limited.trace")} : QStringList{};
        const CliResult r =
            RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex, more), kRunGuardMs, {},
                   [&](QProcess& p) { testsupport::LimitChildFileSize(p, c.limit); });
        ASSERT_TRUE(r.Finished) << r.ErrText().toStdString();
        EXPECT_EQ(r.ExitCode, 7) << r.ErrText().toStdString();
        EXPECT_TRUE(r.ErrText().contains(c.what)) << r.ErrText().toStdString();
        EXPECT_EQ(ReadAll(hex), ToFiscalBlocks(Content.Detail));
        if (c.trace) {
            // The upload itself went through: the report is written and listed.
            EXPECT_EQ(ReadAll(r.LastOutLine()),
                      ReferenceReport(ToFiscalBlocks(Content.Detail), ReportKind::Detail));
            EXPECT_EQ(ListEntries().size(), 1);
            EXPECT_EQ(QFileInfo(Path("limited.trace")).size(), c.limit);
        } else {
            EXPECT_EQ(ReadAll(list), listBytes) << "the old list is kept whole";
            EXPECT_FALSE(r.ErrText().contains(QStringLiteral("Please choose the right machine")));
        }
    }
}

// The .hex file itself stops taking data while the blocks come (a full disk, played by a
// file-size limit). That is a local file error with its own status and the system's reason,
// not a silent device: no "timeout...", no report, no list entry.
TEST_F(PtyUpload, HexFileThatFailsMidUploadExitsWithSevenAndTheReason) {
    const QByteArray expected = Content.ExpectedHex(ReportKind::Detail);
    ASSERT_GT(expected.size(), 4 * 256);
    Sim sim(QStringList{QStringLiteral("--pty")} + ContentArgs());
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    const QString hex = Path("cut.hex");
    const CliResult r =
        RunCli(UploadArgs(PortArgs(sim), ReportKind::Detail, hex), kRunGuardMs, {},
               [&](QProcess& p) { testsupport::LimitChildFileSize(p, 3 * 256 + 10); });
    ASSERT_TRUE(r.Finished) << r.ErrText().toStdString();
    EXPECT_EQ(r.ExitCode, 7) << r.ErrText().toStdString();
    EXPECT_TRUE(r.ErrText().contains(
        QStringLiteral("Write file %1 fail: %2").arg(hex, qt_error_string(EFBIG))))
        << r.ErrText().toStdString();
    EXPECT_FALSE(r.ErrText().contains(QStringLiteral("timeout..."))) << r.ErrText().toStdString();
    EXPECT_FALSE(r.ErrText().contains(QStringLiteral("Finish")));
    EXPECT_TRUE(r.Out.isEmpty());
    EXPECT_TRUE(ReadAll(hex).startsWith(expected.left(3 * 256)));
    EXPECT_TRUE(ListEntries().isEmpty());
}
