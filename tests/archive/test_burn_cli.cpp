#include "iso_readback.h"

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

CliRun Cli(const QStringList& Args) {
    QProcess process;
    process.start(QStringLiteral(ORVEXFM_BIN_DIR "/orvexfm-cli"),
                  QStringList{QStringLiteral("burn")} + Args);
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

} // namespace
