// orvexfm-cli command against orvexfm-sim over a pseudo-terminal: every exchange of the
// command set beyond the fiscal-memory uploads, with its main path and its failure paths.

#include "e2e_support.h"
#include "link/commands.h"
#include "sim/command_play.h"
#include "tests/support/file_size_limit.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

using namespace e2e;

struct CommandCase {
    const char* name;
    QStringList simArgs;
    QStringList cliArgs; // after the port; "@OUT", "@IN", "@MEM" and "@LOG" name files
    int exitCode;
    QString resultLine;  // first line of standard output
    QString secondLine;  // second line, empty: none expected
    QByteArray expected; // what the output file (or the download log) holds; null: not checked
};

class CommandsE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QStringList Expand(const QStringList& Args) const {
        QStringList out;
        for (QString a : Args) {
            a.replace(QStringLiteral("@OUT"), dir.filePath(QStringLiteral("out.bin")));
            a.replace(QStringLiteral("@IN"), dir.filePath(QStringLiteral("in.bin")));
            a.replace(QStringLiteral("@MEM"), dir.filePath(QStringLiteral("memory.bin")));
            a.replace(QStringLiteral("@LOG"), dir.filePath(QStringLiteral("download.log")));
            out << a;
        }
        return out;
    }

    // Runs one case against a fresh device; returns the device's summary line.
    // Udp: the device on a free UDP port of 127.0.0.2 instead of a pseudo-terminal.
    QString Run(const CommandCase& c, const QString& ResultFile, bool Udp = false) {
        QFile::remove(ResultFile);
        const QStringList line =
            Udp ? QStringList{"--udp", "--bind", "127.0.0.2", "--port", "0"} : QStringList{"--pty"};
        Sim sim(Expand(c.simArgs) + line);
        const bool up = Udp ? sim.UdpPort() > 0 : !sim.PtyPath().isEmpty();
        EXPECT_TRUE(up) << sim.FirstLine().toStdString();
        if (!up)
            return {};
        QStringList args{QStringLiteral("command")};
        args << Expand(c.cliArgs);
        if (Udp)
            args << "--udp"
                 << "127.0.0.2"
                 << "--udp-port" << QString::number(sim.UdpPort());
        else
            args << QStringLiteral("--port") << sim.PtyPath();
        const CliResult r = RunCli(args);
        EXPECT_TRUE(r.Finished);
        EXPECT_EQ(r.ExitCode, c.exitCode) << r.ErrText().toStdString();
        const QStringList lines = QString::fromUtf8(r.Out).split(QLatin1Char('\n'));
        EXPECT_EQ(lines.value(0), c.resultLine);
        if (!c.secondLine.isEmpty()) {
            EXPECT_EQ(lines.value(1), c.secondLine);
        }
        if (!c.expected.isNull()) {
            EXPECT_EQ(ReadAll(ResultFile), c.expected);
        }
        return sim.Stop();
    }

    QString OutFile() const { return dir.filePath(QStringLiteral("out.bin")); }

    QTemporaryDir dir;
};

QByteArray Report(SimReport R, int Size = -1) {
    return SimReportContent(R, Size < 0 ? DefaultReportSize(R) : Size);
}

TEST_F(CommandsE2e, ReportUploadsRunToTheirEnd) {
    const QByteArray com = Report(SimReport::CommonData);
    const QString ok = QStringLiteral("SessionResult 3");
    const CommandCase cases[] = {
        {"clerk after two busy answers",
         {"--busy", "2"},
         {"H_UPLOAD_CLERKRPT", "--out", "@OUT", "--ack-timeout", "200"},
         0,
         ok,
         "Finish upload clerk report!",
         Report(SimReport::Clerk) + com},
        {"clerk in 32-byte answers",
         {"--report-packet", "32"},
         {"H_UPLOAD_CLERKRPT", "--out", "@OUT"},
         0,
         ok,
         "Finish upload clerk report!",
         Report(SimReport::Clerk) + com},
        {"clerk report shorter than its threshold",
         {"--report-size", "40"},
         {"H_UPLOAD_CLERKRPT", "--out", "@OUT"},
         0,
         ok,
         {},
         Report(SimReport::Clerk, 40)},
        {"hourly",
         {},
         {"H_UPLOAD_PERIOD", "--out", "@OUT"},
         0,
         ok,
         "Finish upload hourly report!",
         Report(SimReport::Hourly) + com},
        {"Z report after a busy answer",
         {"--busy", "1"},
         {"H_UPLOAD_ZRPT", "--out", "@OUT", "--ack-timeout", "200"},
         0,
         ok,
         "Finish upload Z report!",
         Report(SimReport::Z)},
        {"X report, then the period financial report",
         {"--report-packet", "256"},
         {"H_UPLOAD_XRPT", "--out", "@OUT"},
         0,
         ok,
         "Finish upload period financial affairs report!",
         Report(SimReport::X) + Report(SimReport::PeriodFinancial)},
        {"broadcast",
         {},
         {"H_UPLOAD_BC", "--out", "@OUT"},
         0,
         ok,
         "Finish upload broadcast result data!",
         Report(SimReport::Broadcast)},
        {"financial, sent by the device",
         {"--stream-report", "H_UPLOAD_FIN"},
         {"H_UPLOAD_FIN", "--out", "@OUT"},
         0,
         ok,
         "Finish upload financial affairs report!",
         Report(SimReport::Financial)},
        {"period department, sent by the device",
         {"--stream-report", "H_UPLOAD_PDEP", "--report-packet", "8"},
         {"H_UPLOAD_PDEP", "--out", "@OUT"},
         0,
         ok,
         "Finish upload period department report!",
         Report(SimReport::PeriodDepartment)},
        {"period financial, sent by the device",
         {"--stream-report", "H_UPLOAD_PFIN"},
         {"H_UPLOAD_PFIN", "--out", "@OUT"},
         0,
         ok,
         "Finish upload period financial affairs report!",
         Report(SimReport::PeriodFinancial)},
        {"fiscal, mode 0",
         {},
         {"H_UPLOAD_FISCAL", "--out", "@OUT", "--fiscal-mode", "0", "--fiscal-params",
          "240101241231"},
         0,
         ok,
         "Finish upload FISCAL report!",
         "PARAMS 24010124\n" + Report(SimReport::Fiscal) + com},
        {"fiscal, mode 1",
         {},
         {"H_UPLOAD_FISCAL", "--out", "@OUT", "--fiscal-mode", "1", "--fiscal-params",
          "240101241231"},
         0,
         ok,
         "Finish upload FISCAL report!",
         "PARAMS 240101241231\n" + Report(SimReport::Fiscal) + com},
        {"fiscal, mode 2",
         {},
         {"H_UPLOAD_FISCAL", "--out", "@OUT", "--fiscal-mode", "2", "--fiscal-params", "2401"},
         0,
         ok,
         "Finish upload FISCAL report!",
         "PARAMS \n" + Report(SimReport::Fiscal) + com},
        {"task done", {}, {"H_DN_UpTrTaskOk"}, 0, ok, {}, QByteArray()},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c, OutFile());
    }
}

TEST_F(CommandsE2e, RefusalsAndTimeOutsAreFailures) {
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("in.bin")), QByteArray(0x8000, '\x11')));
    const CommandCase cases[] = {
        {"Z report, error 94",
         {"--z-error94"},
         {"H_UPLOAD_ZRPT", "--out", "@OUT"},
         5,
         "SessionResult 2",
         "Can not upload Z report.(Ecr Error 94)",
         QByteArray("")},
        {"clerk, device busy until the retries run out",
         {"--busy", "100000"},
         {"H_UPLOAD_CLERKRPT", "--out", "@OUT", "--ack-timeout", "10"},
         4,
         "SessionResult 2",
         "VARN 命令: ack 失败",
         QByteArray("")},
        {"64K download, receipt open",
         {"--check-state", "3"},
         {"H_PROGRAM64K", "--in", "@IN"},
         5,
         "SessionResult -1",
         "Receipt is open or Z Report must be taken!",
         QByteArray()},
        {"tax rates, Z report due",
         {"--check-state", "0x40"},
         {"H_DOWNLOAD_TAX", "--in", "@IN"},
         5,
         "SessionResult -2",
         "Z Report must be taken!",
         QByteArray()},
        {"settings, Z report due",
         {"--check-state", "0x41"},
         {"H_DOWNLOAD_SETTING", "--in", "@IN"},
         5,
         "SessionResult -2",
         "Z Report must be taken!",
         QByteArray()},
        {"departments, Z report due",
         {"--check-state", "0x40"},
         {"H_DOWNLOAD_DEP", "--in", "@IN"},
         5,
         "SessionResult -2",
         "Z Report must be taken!",
         QByteArray()},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c, OutFile());
    }
}

// The device hangs up its line after the first packet: the session ends at once, with the
// line named and the port's status; the packet that came stays in the file.
TEST_F(CommandsE2e, LineThatHangsUpEndsTheSessionAtOnce) {
    Sim sim(QStringList{QStringLiteral("--pty"), QStringLiteral("--hang-up-after"),
                        QStringLiteral("2")});
    ASSERT_FALSE(sim.PtyPath().isEmpty()) << sim.FirstLine().toStdString();
    const CliResult r =
        RunCli({QStringLiteral("command"), QStringLiteral("H_UPLOAD_CLERKRPT"),
                QStringLiteral("--out"), OutFile(), QStringLiteral("--port"), sim.PtyPath()},
               10000);
    ASSERT_TRUE(r.Finished) << "still waiting: " << r.ErrText().toStdString();
    EXPECT_EQ(r.ExitCode, 3) << r.ErrText().toStdString();
    const QStringList lines = QString::fromUtf8(r.Out).split(QLatin1Char('\n'));
    EXPECT_EQ(lines.value(0), QStringLiteral("SessionResult 2"));
    EXPECT_EQ(lines.value(1), QStringLiteral("Line %1 disconnected: hung up").arg(sim.PtyPath()));
    EXPECT_EQ(ReadAll(OutFile()), Report(SimReport::Clerk).left(ReadAll(OutFile()).size()));
    EXPECT_GT(ReadAll(OutFile()).size(), 0);
}

// Downloads without a request of their own open their file, start, and send nothing: the
// device never sees them and the session ends by the time-out.
TEST_F(CommandsE2e, DownloadsWithoutRequestsSendNothing) {
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("in.bin")), QByteArray(5000, 'd')));
    const char* const names[] = {"H_DOWNLOAD_SETTING", "H_DOWNLOAD_FM", "H_DOWNLOAD_LOGO",
                                 "H_DN_ADV"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const CommandCase c{name,
                            {},
                            {name, "--in", "@IN", "--ack-timeout", "50"},
                            4,
                            "SessionResult 2",
                            "VARN 命令: ack 失败",
                            QByteArray()};
        const QString summary = Run(c, OutFile());
        EXPECT_TRUE(summary.contains(QStringLiteral("served "))) << summary.toStdString();
        EXPECT_FALSE(summary.contains(QStringLiteral("H_DOWNLOAD"))) << summary.toStdString();
        EXPECT_FALSE(summary.contains(QStringLiteral("H_DN_ADV"))) << summary.toStdString();
    }
}

TEST_F(CommandsE2e, MemoryDumpsReadTheRequestedRange) {
    QByteArray memory(4096, '\0');
    for (int i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<char>((i * 11 + (i >> 8) * 3) & 0xFF);
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("memory.bin")), memory));
    const QString ok = QStringLiteral("SessionResult 3");
    const CommandCase cases[] = {
        {"ROM range",
         {"--memory", "@MEM"},
         {"H_UPLOAD_ROM", "--out", "@OUT", "--dump-start", "100", "--dump-end", "300"},
         0,
         ok,
         "Finish upload ROM data!",
         memory.mid(0x100, 0x300)},
        {"RAM without a range: one packet",
         {"--memory", "@MEM"},
         {"H_UPLOAD_RAM", "--out", "@OUT"},
         0,
         ok,
         "Finish upload RAM data!",
         memory.left(256)},
        {"ROM past the end of the memory",
         {"--memory", "@MEM"},
         {"H_UPLOAD_ROM", "--out", "@OUT", "--dump-start", "0xF00", "--dump-end", "0x2000"},
         0,
         ok,
         "Finish upload ROM data!",
         memory.mid(0xF00)},
        {"NAND flash pages",
         {"--memory", "@MEM", "--nand-flash"},
         {"H_UP_NANDFLASH", "--out", "@OUT", "--dump-start", "200", "--dump-end", "400"},
         0,
         ok,
         "Finish upload NANDFLASH data!",
         memory.mid(0x200, 0x300)},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c, OutFile());
    }
}

// A program image of 32 KiB with its version (two decimal digit pairs) at 0x7FF2.
QByteArray ProgramImage(std::uint8_t Version) {
    QByteArray d(0x8000, '\0');
    for (int i = 0; i < d.size(); ++i)
        d[i] = static_cast<char>((i * 5 + (i >> 8) * 7) & 0xFF);
    d[0x7FF2] = 0;
    d[0x7FF3] = static_cast<char>(Version);
    return d;
}

// What the device receives: every 256-byte block, some followed by 66 F0.
QByteArray Received(const QByteArray& Image, int FirstBlock, const std::function<bool(int)>& Tail) {
    QByteArray out;
    for (int b = FirstBlock; b * 256 < Image.size(); ++b) {
        out += Image.mid(b * 256, 256);
        if (Tail(b))
            out += QByteArray::fromHex("66f0");
    }
    return out;
}

TEST_F(CommandsE2e, ProgramDownloadsFollowTheVersionRules) {
    struct Case {
        const char* name;
        const char* command;
        int deviceVersion;
        std::uint8_t programVersion; // as its decimal digits, e.g. 0x50 for 50
        int firstBlock;
        std::function<bool(int)> tail;
        QString finish;
    };
    const Case cases[] = {
        {"64K, device 49, program 50", "H_PROGRAM64K", 49, 0x50, 0, [](int b) { return b >= 16; },
         "Finish trans VARN 64K program!"},
        {"64K, device 50, program 49", "H_PROGRAM64K", 50, 0x49, 0, [](int b) { return b < 16; },
         "Finish trans VARN 64K program!"},
        {"64K, device 123, program 50", "H_PROGRAM64K", 123, 0x50, 0, [](int) { return true; },
         "Finish trans VARN 64K program!"},
        {"60K", "H_PROGRAM60K", 50, 0x50, 16, [](int) { return false; },
         "Finish trans VARN 60K program!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray image = ProgramImage(c.programVersion);
        ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("in.bin")), image));
        const QString log = dir.filePath(QStringLiteral("download.log"));
        const CommandCase run{
            c.name,
            {"--sw-version", QString::number(c.deviceVersion), "--download-log", "@LOG"},
            {c.command, "--in", "@IN"},
            0,
            "SessionResult 3",
            c.finish,
            Received(image, c.firstBlock, c.tail)};
        Run(run, log);
    }
}

// Over UDP there is no bit-rate step and no device check: the command's first request goes
// out at once and every answer releases the next.
TEST_F(CommandsE2e, CommandsRunOverUdp) {
    QByteArray memory(2048, '\0');
    for (int i = 0; i < memory.size(); ++i)
        memory[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("memory.bin")), memory));
    const QByteArray image = ProgramImage(0x50);
    ASSERT_TRUE(WriteFile(dir.filePath(QStringLiteral("in.bin")), image));
    const QByteArray com = Report(SimReport::CommonData);
    const QString ok = QStringLiteral("SessionResult 3");
    const CommandCase cases[] = {
        {"clerk after a busy answer",
         {"--busy", "1"},
         {"H_UPLOAD_CLERKRPT", "--out", "@OUT", "--ack-timeout", "200"},
         0,
         ok,
         "Finish upload clerk report!",
         Report(SimReport::Clerk) + com},
        {"X report, then the period financial report",
         {},
         {"H_UPLOAD_XRPT", "--out", "@OUT"},
         0,
         ok,
         "Finish upload period financial affairs report!",
         Report(SimReport::X) + Report(SimReport::PeriodFinancial)},
        {"fiscal, mode 1",
         {},
         {"H_UPLOAD_FISCAL", "--out", "@OUT", "--fiscal-mode", "1", "--fiscal-params",
          "010203040506"},
         0,
         ok,
         "Finish upload FISCAL report!",
         "PARAMS 010203040506\n" + Report(SimReport::Fiscal) + com},
        {"RAM range",
         {"--memory", "@MEM"},
         {"H_UPLOAD_RAM", "--out", "@OUT", "--dump-start", "0", "--dump-end", "200"},
         0,
         ok,
         "Finish upload RAM data!",
         memory.left(0x300)},
    };
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.name);
        Run(c, OutFile(), true);
    }
    // Without a device check the device's version counts as 0: the tail from block 16 on.
    const CommandCase program{"64K without a device check",
                              {"--download-log", "@LOG"},
                              {"H_PROGRAM64K", "--in", "@IN"},
                              0,
                              ok,
                              "Finish trans VARN 64K program!",
                              Received(image, 0, [](int b) { return b >= 16; })};
    Run(program, dir.filePath(QStringLiteral("download.log")), true);
}

TEST_F(CommandsE2e, CtrlCEndsAWaitingSession) {
    Sim sim({"--pty", "--busy", "1000000"});
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    const CliResult r = RunCli({"command", "H_UPLOAD_CLERKRPT", "--port", sim.PtyPath(), "--out",
                                OutFile(), "--ack-timeout", "60000", "--verbose"},
                               kRunGuardMs, [](QProcess& p) {
                                   // Interrupt once the device has said it is busy.
                                   p.setReadChannel(QProcess::StandardError);
                                   if (!p.peek(1 << 16).contains("is busy"))
                                       return false;
                                   ::kill(static_cast<pid_t>(p.processId()), SIGINT);
                                   return true;
                               });
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 130) << r.ErrText().toStdString();
    EXPECT_TRUE(r.Out.isEmpty());
    EXPECT_TRUE(r.ErrText().contains(QStringLiteral("interrupted")));
    EXPECT_TRUE(ReadAll(OutFile()).isEmpty());
}

// The link opens --out for writing: a named pipe that nobody reads would block that for
// ever, a device or a folder is no upload file. Each is refused at once, before the port is
// opened, and stays as it was; a symbolic link is written through to its file.
TEST_F(CommandsE2e, OutThatIsNoRegularFileIsRefusedAndALinkIsWrittenThrough) {
    const QString fifo = dir.filePath(QStringLiteral("pipe.bin"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const struct {
        QString out;
        QString reason;
    } refused[] = {
        {fifo, QStringLiteral("is a named pipe (FIFO), not a regular file")},
        {QStringLiteral("/dev/null"), QStringLiteral("is a device, not a regular file")},
        {dir.path(), qt_error_string(EISDIR)},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.out.toStdString());
        const CliResult r = RunCli(
            {"command", "H_UPLOAD_CLERKRPT", "--port", "/dev/null", "--out", c.out}, kStartGuardMs);
        ASSERT_TRUE(r.Finished) << "blocked on the output";
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(
            r.ErrText().contains(QStringLiteral("cannot write %1: %2").arg(c.out, c.reason)))
            << r.ErrText().toStdString();
        EXPECT_TRUE(r.Out.isEmpty());
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile());
    EXPECT_TRUE(QFileInfo(QStringLiteral("/dev/null")).exists());

    const QString target = dir.filePath(QStringLiteral("target.bin"));
    const QString link = dir.filePath(QStringLiteral("link.bin"));
    ASSERT_TRUE(QFile::link(target, link));
    const CommandCase viaLink = {"clerk through a symbolic link",
                                 {},
                                 {"H_UPLOAD_CLERKRPT", "--out", link},
                                 0,
                                 QStringLiteral("SessionResult 3"),
                                 {},
                                 Report(SimReport::Clerk) + Report(SimReport::CommonData)};
    Run(viaLink, target);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
}

// The --out file stops taking data while the report comes (a full disk, played by a file-size
// limit): exit 7 with the file and the system's reason, not a time-out.
TEST_F(CommandsE2e, OutThatFailsMidUploadExitsWithSeven) {
    Sim sim({"--pty", "--report-packet", "32"});
    ASSERT_FALSE(sim.PtyPath().isEmpty());
    const CliResult r =
        RunCli({"command", "H_UPLOAD_PERIOD", "--port", sim.PtyPath(), "--out", OutFile()},
               kRunGuardMs, {}, [](QProcess& p) { testsupport::LimitChildFileSize(p, 100); });
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 7) << r.ErrText().toStdString();
    EXPECT_EQ(QString::fromUtf8(r.Out), QStringLiteral("SessionResult 2\nWrite file %1 fail: %2\n")
                                            .arg(OutFile(), qt_error_string(EFBIG)));
    EXPECT_TRUE(Report(SimReport::Hourly).startsWith(ReadAll(OutFile()).left(96)));
}

TEST_F(CommandsE2e, HelpListsEveryCommandOfTheSet) {
    const CliResult r = RunCli({QStringLiteral("command"), QStringLiteral("--help")});
    ASSERT_TRUE(r.Finished);
    EXPECT_EQ(r.ExitCode, 0);
    const QString text = QString::fromUtf8(r.Out);
    for (const CommandTemplate& t : CommandTemplates)
        EXPECT_TRUE(text.contains(QStringLiteral("  %1 ").arg(QLatin1String(t.Name)))) << t.Name;

    const CliResult bad = RunCli({QStringLiteral("command"), QStringLiteral("H_UPLOAD_CLERKRPT"),
                                  QStringLiteral("--port"), QStringLiteral("/dev/null")});
    EXPECT_EQ(bad.ExitCode, 2) << "an upload needs --out";
    const CliResult noPort =
        RunCli({QStringLiteral("command"), QStringLiteral("H_UPLOAD_BC"), QStringLiteral("--out"),
                dir.filePath(QStringLiteral("x")), QStringLiteral("--port"),
                dir.filePath(QStringLiteral("no-such-tty"))});
    EXPECT_EQ(noPort.ExitCode, 3);
}

} // namespace
