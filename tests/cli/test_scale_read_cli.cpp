// Runs the built orvexfm-cli scale-read against the built orvexfm-sim --scale and checks exit
// codes, status lines and the file written.

#include "sim/scale_engine.h"
#include "tests/support/file_bytes.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>

namespace {

const QString kCli = QStringLiteral(ORVEXFM_BIN_DIR "/orvexfm-cli");
const QString kSim = QStringLiteral(ORVEXFM_BIN_DIR "/orvexfm-sim");

// The simulated scale as its own process; its first line names the pseudo-terminal or the
// UDP address. Ends with the test (standard input closes).
class ScaleProcess {
public:
    explicit ScaleProcess(const QStringList& Args) {
        m_process.start(
            kSim,
            QStringList{QStringLiteral("--scale"), QStringLiteral("--exit-on-stdin-eof")} + Args);
        if (!m_process.waitForStarted(10000))
            return;
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~ScaleProcess() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    // "/dev/pts/N" or "127.0.0.2:PORT" without the word before it.
    QString Where() const { return m_line.section(QLatin1Char(' '), 1); }

private:
    QProcess m_process;
    QString m_line;
};

struct CliRun {
    int ExitCode = -1;
    QString Err;
};

CliRun Finish(QProcess& P) {
    CliRun r;
    if (!P.waitForFinished(120000) || P.exitStatus() != QProcess::NormalExit)
        return r;
    r.ExitCode = P.exitCode();
    r.Err = QString::fromLocal8Bit(P.readAllStandardError());
    return r;
}

CliRun RunCli(const QStringList& Args) {
    QProcess p;
    p.start(kCli, QStringList{QStringLiteral("scale-read")} + Args);
    return Finish(p);
}

QByteArray Expected(std::uint32_t Seed) {
    QByteArray all;
    for (int block = 0; block < 2048; ++block)
        all.append(ScaleMemoryBlock(Seed, block));
    return all;
}

class ScaleReadCli : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString Out() const { return dir.filePath(QStringLiteral("scale.bin")); }
    QTemporaryDir dir;
};

TEST_F(ScaleReadCli, SerialReadWritesTheWholeMemory) {
    ScaleProcess scale({QStringLiteral("--pty"), QStringLiteral("--only-rate"),
                        QStringLiteral("38400"), QStringLiteral("--content-seed"),
                        QStringLiteral("9")});
    ASSERT_TRUE(scale.Where().startsWith(QLatin1String("/dev/")));
    const CliRun r = RunCli({QStringLiteral("--port"), scale.Where(), QStringLiteral("--scale"),
                             QStringLiteral("1234"), QStringLiteral("--out"), Out(),
                             QStringLiteral("--rate"), QStringLiteral("115200")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_TRUE(r.Err.startsWith(QLatin1String("Connect...\nReceive Data...\n")));
    EXPECT_TRUE(r.Err.contains(QLatin1String("Disconnect...\n")));
    const QByteArray written = ReadAll(Out());
    EXPECT_EQ(written.size(), 524288);
    EXPECT_TRUE(written == Expected(9));
}

TEST_F(ScaleReadCli, UdpReadWithSplitAnswersWritesTheWholeMemory) {
    ScaleProcess scale({QStringLiteral("--udp"), QStringLiteral("--port"), QStringLiteral("0"),
                        QStringLiteral("--split"), QStringLiteral("100,100,59")});
    const QString where = scale.Where();
    ASSERT_TRUE(where.contains(QLatin1Char(':'))) << where.toStdString();
    const CliRun r =
        RunCli({QStringLiteral("--udp"), where.section(QLatin1Char(':'), 0, 0),
                QStringLiteral("--udp-port"), where.section(QLatin1Char(':'), 1),
                QStringLiteral("--local-port"), QStringLiteral("0"), QStringLiteral("--no-ping"),
                QStringLiteral("--scale"), QStringLiteral("1234"), QStringLiteral("--out"), Out()});
    EXPECT_EQ(r.ExitCode, 0) << r.Err.toStdString();
    EXPECT_TRUE(ReadAll(Out()) == Expected(1));
}

TEST_F(ScaleReadCli, FailuresGiveTheirExitStatusAndNoFile) {
    ScaleProcess negative({QStringLiteral("--pty"), QStringLiteral("--negative")});
    ScaleProcess silent(
        {QStringLiteral("--pty"), QStringLiteral("--silent-after"), QStringLiteral("5")});
    const struct {
        const char* Name;
        QStringList Args;
        int Exit;
        const char* ErrText;
    } cases[] = {
        {"negative wake-up", {QStringLiteral("--port"), negative.Where()}, 4, "Connect...Error!"},
        {"scale falls silent",
         {QStringLiteral("--port"), silent.Where(), QStringLiteral("--retries"),
          QStringLiteral("1"), QStringLiteral("--retry-interval"), QStringLiteral("100")},
         4,
         "Receive Data...Error!"},
        {"no such port",
         {QStringLiteral("--port"), QStringLiteral("/dev/orvex-no-such-port")},
         3,
         "Error opening /dev/orvex-no-such-port!"},
    };
    for (const auto& c : cases) {
        const CliRun r =
            RunCli(c.Args + QStringList{QStringLiteral("--scale"), QStringLiteral("1234"),
                                        QStringLiteral("--out"), Out()});
        EXPECT_EQ(r.ExitCode, c.Exit) << c.Name << ": " << r.Err.toStdString();
        EXPECT_TRUE(r.Err.contains(QLatin1String(c.ErrText)))
            << c.Name << ": " << r.Err.toStdString();
        EXPECT_FALSE(QFile::exists(Out())) << c.Name;
    }
}

TEST_F(ScaleReadCli, BadUsageIsRefusedBeforeAnyPortIsTouched) {
    const QStringList cases[] = {
        {},
        {QStringLiteral("--port"), QStringLiteral("x"), QStringLiteral("--out"), Out()},
        {QStringLiteral("--port"), QStringLiteral("x"), QStringLiteral("--udp"),
         QStringLiteral("h")},
        {QStringLiteral("--udp"), QStringLiteral("h"), QStringLiteral("--scale"),
         QStringLiteral("12"), QStringLiteral("--out"), Out(), QStringLiteral("--rate"),
         QStringLiteral("4800")},
        {QStringLiteral("--udp"), QStringLiteral("h"), QStringLiteral("--scale"),
         QStringLiteral("-1"), QStringLiteral("--out"), Out()},
        {QStringLiteral("--udp"), QStringLiteral("h"), QStringLiteral("--scale"),
         QStringLiteral("1"), QStringLiteral("--out"), Out(), QStringLiteral("--retries"),
         QStringLiteral("11")},
    };
    for (const QStringList& args : cases) {
        const CliRun r = RunCli(args);
        EXPECT_EQ(r.ExitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
    }
}

// A named pipe would block the write for ever, a device or folder would be replaced: each is
// refused before the port is opened (the port here does not exist, which would give 3).
TEST_F(ScaleReadCli, FilesThatAreNoRegularFilesAreRefusedFirst) {
    const QString fifo = dir.filePath(QStringLiteral("pipe"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString port = dir.filePath(QStringLiteral("no-such-port"));
    const struct {
        QStringList files;
        QString message;
    } cases[] = {
        {{QStringLiteral("--out"), fifo},
         QStringLiteral("cannot write %1: is a named pipe (FIFO), not a regular file").arg(fifo)},
        {{QStringLiteral("--out"), Out(), QStringLiteral("--trace"), fifo},
         QStringLiteral("cannot write %1: is a named pipe (FIFO), not a regular file").arg(fifo)},
        {{QStringLiteral("--out"), dir.path()},
         QStringLiteral("cannot write %1: %2").arg(dir.path(), qt_error_string(EISDIR))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files.join(QLatin1Char(' ')).toStdString());
        const CliRun r = RunCli(QStringList{QStringLiteral("--port"), port,
                                            QStringLiteral("--scale"), QStringLiteral("1")} +
                                c.files);
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(r.Err.contains(c.message)) << r.Err.toStdString();
    }
    EXPECT_FALSE(QFileInfo(fifo).isFile());
    EXPECT_FALSE(QFileInfo::exists(Out()));
}

TEST_F(ScaleReadCli, CtrlCEndsTheReadWithoutAFile) {
    ScaleProcess scale(
        {QStringLiteral("--pty"), QStringLiteral("--silent-after"), QStringLiteral("40")});
    QProcess cli;
    cli.start(kCli, {QStringLiteral("scale-read"), QStringLiteral("--port"), scale.Where(),
                     QStringLiteral("--scale"), QStringLiteral("1234"), QStringLiteral("--out"),
                     Out(), QStringLiteral("--retry-interval"), QStringLiteral("60000")});
    ASSERT_TRUE(cli.waitForStarted(10000));
    cli.setReadChannel(QProcess::StandardError);
    QByteArray err;
    while (!err.contains("Receive Data...") && cli.waitForReadyRead(20000))
        err += cli.readAllStandardError();
    ASSERT_TRUE(err.contains("Receive Data..."));
    ::kill(pid_t(cli.processId()), SIGINT);
    CliRun r = Finish(cli);
    r.Err.prepend(QString::fromLocal8Bit(err));
    EXPECT_EQ(r.ExitCode, 130) << r.Err.toStdString();
    EXPECT_TRUE(r.Err.contains(QLatin1String("interrupted")));
    EXPECT_FALSE(r.Err.contains(QLatin1String("Error!")));
    EXPECT_FALSE(QFile::exists(Out()));
}

} // namespace
