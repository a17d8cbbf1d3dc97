#include "iso_readback.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct CliRun {
    int Exit = -1;
    QString Err;
};

CliRun Cli(const QStringList& Args, const QString& Command = QStringLiteral("burn")) {
    QProcess process;
    process.start(QStringLiteral(ORVEXFM_BIN_DIR "/orvexfm-cli"), QStringList{Command} + Args);
    CliRun run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.Exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    run.Err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

class BurnCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        ASSERT_TRUE(WriteTestFile(Path("Detail_1.txt"), "detail one"));
        ASSERT_TRUE(WriteTestFile(Path("Zmiana_stawki_ść.txt"), "tax change"));
        ASSERT_TRUE(WriteTestFile(Path("folder/inner.txt"), "inner"));
    }
    QString Path(const QString& Name) const { return Dir.filePath(Name); }
    QTemporaryDir Dir;
};

TEST_F(BurnCliTest, WritesFilesAndFolderToAnImageFile) {
    const CliRun run = Cli({"--drive", "stdio:" + Path("disc.iso"), Path("Detail_1.txt"),
                            Path("Zmiana_stawki_ść.txt"), Path("folder")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("Burning done - No error")) << run.Err.toStdString();
    QString error;
    const auto tree = ReadJolietTree(Path("disc.iso"), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_EQ(tree, (QMap<QString, QByteArray>{{"Detail_1.txt", "detail one"},
                                               {"Zmiana_stawki_ść.txt", "tax change"},
                                               {"folder/", {}},
                                               {"folder/inner.txt", "inner"}}));
}

TEST_F(BurnCliTest, ExitStatusTellsWhatWentWrong) {
    ASSERT_TRUE(WriteTestFile(Path("taken.iso"), "earlier"));
    struct Case {
        const char* Name;
        QStringList Args;
        int Exit;
        const char* Says;
        const char* ImageLeftAlone; // must not appear (or, for taken.iso, keep its bytes)
    };
    const Case cases[] = {
        {"no drive", {Path("Detail_1.txt")}, 2, "--drive", nullptr},
        {"no files", {"--drive", "stdio:" + Path("a.iso")}, 2, "FILE", "a.iso"},
        {"missing file",
         {"--drive", "stdio:" + Path("b.iso"), Path("gone.txt")},
         2,
         "gone.txt",
         "b.iso"},
        {"unknown option",
         {"--fast", "--drive", "stdio:" + Path("c.iso"), Path("Detail_1.txt")},
         2,
         "--fast",
         "c.iso"},
        {"does not fit",
         {"--drive", "stdio:" + Path("d.iso") + "#5", Path("Detail_1.txt")},
         4,
         "INSUFFICIENT DISC SPACE. REQUIRED ",
         "d.iso"},
        {"image file exists",
         {"--drive", "stdio:" + Path("taken.iso"), Path("Detail_1.txt")},
         5,
         "already exists",
         "taken.iso"},
        {"write error",
         {"--drive", "stdio:/dev/full", Path("Detail_1.txt")},
         5,
         "Burning done - With error",
         nullptr},
        {"bad capacity",
         {"--drive", "stdio:" + Path("e.iso") + "#x", Path("Detail_1.txt")},
         2,
         "capacity",
         "e.iso"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const CliRun run = Cli(c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(QString::fromUtf8(c.Says))) << run.Err.toStdString();
        if (!c.ImageLeftAlone)
            continue;
        const QString image = Path(c.ImageLeftAlone);
        if (c.ImageLeftAlone == QLatin1String("taken.iso")) {
            QFile file(image);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            EXPECT_EQ(file.readAll(), QByteArray("earlier"));
        } else {
            EXPECT_FALSE(QFileInfo::exists(image));
        }
    }
}

TEST_F(BurnCliTest, DoesNotFitNamesBothSizes) {
    const CliRun run = Cli({"--drive", "stdio:" + Path("d.iso") + "#5", Path("Detail_1.txt")});
    ASSERT_EQ(run.Exit, 4) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains(",AVAILABLE 10 KB")) << run.Err.toStdString();
}

CliRun Verify(const QStringList& Args) {
    return Cli(Args, QStringLiteral("verify"));
}

QByteArray Sha256Hex(const QByteArray& Bytes) {
    return QCryptographicHash::hash(Bytes, QCryptographicHash::Sha256).toHex();
}

TEST_F(BurnCliTest, ImageCarriesChecksumsThatStandardToolsAcceptAndVerifyPasses) {
    const CliRun run = Cli({"--drive", "stdio:" + Path("disc.iso"), Path("Detail_1.txt"),
                            Path("Zmiana_stawki_ść.txt"), Path("folder")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("Burning done - No error\n"
                                 "orvexfm-cli burn: Verifying - please wait\n"))
        << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("Verify done - 3 files match")) << run.Err.toStdString();

    // sha256sum -c and both xorriso MD5 checks, on the image alone.
    EXPECT_EQ(CheckWithStandardTools(Path("disc.iso")), QString());
    QString error;
    QByteArray list;
    ReadJolietTree(Path("disc.iso"), &error, &list);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    // One line per archived file, under its Joliet name.
    EXPECT_EQ(list, Sha256Hex("detail one") + "  Detail_1.txt\n" + Sha256Hex("tax change") +
                        "  Zmiana_stawki_ść.txt\n" + Sha256Hex("inner") + "  folder/inner.txt\n");

    for (const QString& address : {Path("disc.iso"), "stdio:" + Path("disc.iso")}) {
        const CliRun check = Verify({address});
        EXPECT_EQ(check.Exit, 0) << check.Err.toStdString();
        EXPECT_TRUE(check.Err.contains("Verify done - 3 files match")) << check.Err.toStdString();
    }
}

TEST_F(BurnCliTest, VerifyNamesTheFileADamagedByteBelongsTo) {
    ASSERT_EQ(Cli({"--drive", "stdio:" + Path("good.iso"), Path("Detail_1.txt"),
                   Path("Zmiana_stawki_ść.txt"), Path("folder")})
                  .Exit,
              0);
    struct Case {
        const char* DiscPath; // in whose first block the byte is damaged; null: the image's start
        int Offset;
        const char* Says;
    };
    const Case cases[] = {
        {"/Zmiana_stawki_ść.txt", 3, "Verify FAILED - Zmiana_stawki_ść.txt\n"},
        {"/folder/inner.txt", 0, "Verify FAILED - folder/inner.txt\n"},
        {"/SHA256SUMS", 10, "Verify FAILED - SHA256SUMS\n"},
        // Past the end of a file's data, in its last block: part of the summed session only.
        {"/Detail_1.txt", 1000, "Verify FAILED - the session does not match its recorded MD5 sum"},
        // The volume descriptors, guarded by the checksum tags libisofs reads with the tree.
        {nullptr, 16 * 2048 + 100, "Verify FAILED - the disc's file system cannot be read"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Says);
        const QString image = Path(QStringLiteral("damaged%1.iso").arg(n++));
        ASSERT_TRUE(QFile::copy(Path("good.iso"), image));
        const qint64 block = c.DiscPath ? FileDataBlock(image, QString::fromUtf8(c.DiscPath)) : 0;
        ASSERT_GE(block, 0);
        ASSERT_TRUE(FlipByte(image, block * 2048 + c.Offset));
        const CliRun check = Verify({image});
        EXPECT_EQ(check.Exit, 6) << check.Err.toStdString();
        EXPECT_TRUE(check.Err.contains(QString::fromUtf8(c.Says))) << check.Err.toStdString();
        // The damage is real: the standard tools find it too.
        EXPECT_NE(CheckWithStandardTools(image), QString());
    }
    EXPECT_EQ(Verify({Path("good.iso")}).Exit, 0);
}

TEST_F(BurnCliTest, NoVerifyWritesWithoutReadingBack) {
    const CliRun run =
        Cli({"--no-verify", "--drive", "stdio:" + Path("disc.iso"), Path("Detail_1.txt")});
    ASSERT_EQ(run.Exit, 0) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("Burning done - No error")) << run.Err.toStdString();
    EXPECT_FALSE(run.Err.contains("Verif")) << run.Err.toStdString();
    EXPECT_EQ(CheckWithStandardTools(Path("disc.iso")), QString());
}

TEST_F(BurnCliTest, VerifyExitStatusTellsWhatWentWrong) {
    // An image another program made: MD5 sums, but no checksum list.
    ASSERT_EQ(QProcess::execute("xorriso", {"-outdev", Path("foreign.iso"), "-md5", "on", "-map",
                                            Path("folder"), "/"}),
              0);
    ASSERT_TRUE(WriteTestFile(Path("not-an-image.iso"), QByteArray(100000, 'x')));
    struct Case {
        const char* Name;
        QStringList Args;
        int Exit;
        const char* Says;
    };
    const Case cases[] = {
        {"no address", {}, 2, "no ADDRESS"},
        {"two addresses", {Path("a.iso"), Path("b.iso")}, 2, "one ADDRESS"},
        {"unknown option", {"--fast", Path("a.iso")}, 2, "--fast"},
        {"missing image", {"stdio:" + Path("gone.iso")}, 2, "gone.iso"},
        {"no drive", {"/dev/orvexfm-no-such-drive"}, 5, "orvexfm-no-such-drive"},
        {"no checksum list", {Path("foreign.iso")}, 6, "Verify FAILED - SHA256SUMS"},
        {"not an image", {Path("not-an-image.iso")}, 6, "Verify FAILED - "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const CliRun run = Verify(c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(QString::fromUtf8(c.Says))) << run.Err.toStdString();
    }
}

} // namespace
