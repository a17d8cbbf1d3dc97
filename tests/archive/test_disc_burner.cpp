#include "archive/burn_texts.h"
#include "archive/disc_burner.h"
#include "archive/disc_checksums.h"
#include "archive/drive_address.h"
#include "iso_readback.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

namespace {

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "archive_engine_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    return *app;
}

// ---------------------------------------------------------------------------------------------
// Drive addresses

TEST(DriveAddress, ParsesAddressAndCapacity) {
    struct Case {
        const char* Text;
        bool Ok;
        const char* Address; // for "stdio:" relative paths: checked to be absolute instead
        std::optional<qint64> Capacity;
    };
    const Case cases[] = {
        {"stdio:/tmp/disc.iso#2500", true, "stdio:/tmp/disc.iso", 2500},
        {"stdio:/tmp/disc.iso", true, "stdio:/tmp/disc.iso", std::nullopt},
        {"  stdio:/tmp/a b.iso # 12 ", true, "stdio:/tmp/a b.iso", 12},
        {"stdio:/tmp/x#y.iso#7", true, "stdio:/tmp/x#y.iso", 7}, // only the last '#' counts
        {"/dev/sr0", true, "/dev/sr0", std::nullopt},
        {"stdio:/tmp/disc.iso#0", true, "stdio:/tmp/disc.iso", 0},
        {"stdio:/tmp/disc.iso#", false, "", std::nullopt},
        {"stdio:/tmp/disc.iso#-5", false, "", std::nullopt},
        {"stdio:/tmp/disc.iso#12k", false, "", std::nullopt},
        {"stdio:/tmp/disc.iso#+5", false, "", std::nullopt},
        {"stdio:", false, "", std::nullopt},
        {"", false, "", std::nullopt},
        {"#100", false, "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        QString error;
        const std::optional<DriveAddress> drive =
            ParseDriveAddress(QString::fromUtf8(c.Text), &error);
        ASSERT_EQ(drive.has_value(), c.Ok);
        if (!c.Ok) {
            EXPECT_FALSE(error.isEmpty());
            continue;
        }
        EXPECT_EQ(drive->Address.toStdString(), c.Address);
        EXPECT_EQ(drive->CapacityBlocks, c.Capacity);
    }
}

TEST(DriveAddress, RelativeImagePathBecomesAbsolute) {
    const std::optional<DriveAddress> drive = ParseDriveAddress(QStringLiteral("stdio:out/d.iso"));
    ASSERT_TRUE(drive);
    EXPECT_TRUE(drive->IsFile());
    EXPECT_TRUE(QFileInfo(drive->FilePath()).isAbsolute());
    EXPECT_EQ(drive->FilePath(), QDir::current().absoluteFilePath(QStringLiteral("out/d.iso")));
}

TEST(DriveAddress, ExtraDrivesKeepStdioEntriesInOrder) {
    QStringList rejected;
    const QList<DriveAddress> drives = ParseExtraDrives(
        QStringLiteral("stdio:/a.iso#10;; ;/dev/sr1;stdio:/b.iso;stdio:/c.iso#x;stdio:/d.iso#3"),
        &rejected);
    ASSERT_EQ(drives.size(), 3);
    EXPECT_EQ(drives[0].Address, QStringLiteral("stdio:/a.iso"));
    EXPECT_EQ(drives[0].CapacityBlocks, 10);
    EXPECT_EQ(drives[1].Address, QStringLiteral("stdio:/b.iso"));
    EXPECT_FALSE(drives[1].CapacityBlocks);
    EXPECT_EQ(drives[2].Address, QStringLiteral("stdio:/d.iso"));
    EXPECT_EQ(drives[2].CapacityBlocks, 3);
    // The device and the malformed capacity are refused, each with a reason.
    ASSERT_EQ(rejected.size(), 2);
    EXPECT_TRUE(rejected[0].contains(QStringLiteral("/dev/sr1")));
    EXPECT_TRUE(rejected[1].contains(QStringLiteral("c.iso")));
}

TEST(BurnTexts, InsufficientSpaceGivesBothSizesInKb) {
    struct Case {
        qint64 Need, Free;
        const char* Text;
    };
    const Case cases[] = {
        {5121, 2560, "INSUFFICIENT DISC SPACE. REQUIRED 10242 KB,AVAILABLE 5120 KB"},
        {1, 0, "INSUFFICIENT DISC SPACE. REQUIRED 2 KB,AVAILABLE 0 KB"},
        {359849, 359848, "INSUFFICIENT DISC SPACE. REQUIRED 719698 KB,AVAILABLE 719696 KB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(InsufficientSpaceText(c.Need, c.Free).toStdString(), c.Text);
}

// ---------------------------------------------------------------------------------------------
// The engine against "stdio:" drives

class DiscBurnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(Dir.isValid());
        qunsetenv(kExtraDrivesVariable);
    }

    QString Path(const QString& Name) const { return Dir.filePath(Name); }

    // Initialises without scanning for optical writers: these tests must not lock a real one.
    void Start(TDiscBurner& Burner, const QString& Drive) {
        ASSERT_TRUE(Burner.InitializeASPI(false)) << Burner.LastError().toStdString();
        ASSERT_TRUE(Burner.ASPIInitialized());
        ASSERT_TRUE(Burner.SelectDrive(Drive)) << Burner.LastError().toStdString();
    }

    struct Outcome {
        bool Done = false;
        QString Error;
        QStringList Events;
        bool OnCreatingThread = true;
    };

    // Starts writing and runs the event loop until OnWriteDone (generous hang guard).
    Outcome WriteAndWait(TDiscBurner& Burner) {
        Outcome outcome;
        QEventLoop loop;
        Burner.OnFinalizingTrack = [&] {
            outcome.Events.append(QStringLiteral("finalizing"));
            outcome.OnCreatingThread &= QThread::currentThread() == App().thread();
        };
        Burner.OnWriteDone = [&](const QString& Error) {
            outcome.Events.append(QStringLiteral("done"));
            outcome.OnCreatingThread &= QThread::currentThread() == App().thread();
            outcome.Done = true;
            outcome.Error = Error;
            loop.quit();
        };
        const bool started = Burner.StartWriting();
        EXPECT_TRUE(started) << Burner.LastError().toStdString();
        if (!started)
            return outcome;
        // Events come through the event loop, never from inside the call.
        EXPECT_TRUE(outcome.Events.isEmpty());
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        if (!outcome.Done)
            loop.exec();
        return outcome;
    }

    // Reads back what the engine's drive holds and runs the event loop until OnVerifyDone.
    std::optional<DiscCheckResult> VerifyAndWait(TDiscBurner& Burner) {
        std::optional<DiscCheckResult> result;
        QEventLoop loop;
        Burner.OnVerifyDone = [&](const DiscCheckResult& Result) {
            EXPECT_EQ(QThread::currentThread(), App().thread());
            result = Result;
            loop.quit();
        };
        const bool started = Burner.StartVerifying();
        EXPECT_TRUE(started) << Burner.LastError().toStdString();
        if (!started)
            return result;
        // The result comes through the event loop, never from inside the call.
        EXPECT_FALSE(result);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        if (!result)
            loop.exec();
        return result;
    }

    QTemporaryDir Dir;
};

TEST(ChecksumList, LinesAreWhatSha256sumWritesAndReads) {
    const QByteArray digest =
        QByteArray::fromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const QByteArray hex = digest.toHex();
    struct Case {
        const char* Name;
        QByteArray Line;
    };
    const Case cases[] = {
        {"Detail.txt", hex + "  Detail.txt\n"},
        {"folder/Zmiana_ść.txt", hex + "  folder/Zmiana_ść.txt\n"},
        {"two  spaces .txt", hex + "  two  spaces .txt\n"},
        // Escaped as sha256sum escapes them: a leading backslash, then \\ and \n.
        {"back\\slash", "\\" + hex + "  back\\\\slash\n"},
        {"line\nbreak", "\\" + hex + "  line\\nbreak\n"},
    };
    QList<ChecksumEntry> entries;
    QByteArray text;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const ChecksumEntry entry{QString::fromUtf8(c.Name), digest};
        EXPECT_EQ(ChecksumLine(entry), c.Line);
        entries.append(entry);
        text += c.Line;
    }
    EXPECT_EQ(ChecksumList(entries), text);
    QString error;
    const QList<ChecksumEntry> parsed = ParseChecksumList(text, &error);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_EQ(parsed.size(), entries.size());
    for (qsizetype i = 0; i < parsed.size(); ++i) {
        EXPECT_EQ(parsed[i].Name, entries[i].Name);
        EXPECT_EQ(parsed[i].Sha256, digest);
    }
    // Binary-mode lines are read too; anything else is refused with its line number.
    EXPECT_EQ(ParseChecksumList(hex + " *bin.dat\n", &error).value(0).Name, "bin.dat");
    for (const QByteArray& bad : {QByteArray("not a checksum\n"), hex.left(63) + "  short\n",
                                  hex + " nospace\n", hex + "  \n", "zz" + hex.mid(2) + "  x\n"}) {
        error.clear();
        EXPECT_TRUE(ParseChecksumList(hex + "  ok\n" + bad, &error).isEmpty()) << bad.data();
        EXPECT_TRUE(error.contains("line 2")) << error.toStdString();
    }
}

TEST(ChecksumList, DiscNamesAreWhatJolietCanHold) {
    const QString longStem(120, u'a');
    struct Case {
        QString Name;
        QString DiscName;
    };
    const Case cases[] = {
        {"Raport_żółć_ĄĘ.txt", "Raport_żółć_ĄĘ.txt"},
        {"a:b?c*d;e.txt", "a_b_c_d_e.txt"},
        {"tab\there", "tab_here"},
        {QString::fromUtf8("emoji_\xF0\x9F\x98\x80.txt"), "emoji__.txt"},
        {longStem + ".txt", longStem.left(99) + ".txt"},
        {longStem, longStem.left(103)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name.toStdString());
        EXPECT_EQ(DiscName(c.Name), c.DiscName);
    }
}

TEST_F(DiscBurnerTest, OddNamesGetTheirDiscNamesEverywhereAndStillCheckOut) {
    ASSERT_TRUE(WriteTestFile(Path("in/a:b?.txt"), "colon"));
    ASSERT_TRUE(WriteTestFile(Path("in/dir:x/inner;1.txt"), "inner"));
    ASSERT_TRUE(WriteTestFile(Path("in/empty.txt"), ""));
    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso"));
    for (const char* name : {"in/a:b?.txt", "in/dir:x", "in/empty.txt"})
        ASSERT_TRUE(burner.AddFile("\\", Path(name))) << burner.LastError().toStdString();
    const Outcome outcome = WriteAndWait(burner);
    ASSERT_TRUE(outcome.Error.isEmpty()) << outcome.Error.toStdString();
    const std::optional<DiscCheckResult> result = VerifyAndWait(burner);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->Ok) << result->BadFile.toStdString() << " " << result->Reason.toStdString();
    EXPECT_EQ(result->FilesMatched, 3);
    EXPECT_EQ(burner.BytesVerified(), burner.BytesWritten());
    EXPECT_EQ(CheckWithStandardTools(Path("disc.iso")), QString());
    QString error;
    EXPECT_EQ(ReadJolietTree(Path("disc.iso"), &error),
              (QMap<QString, QByteArray>{{"a_b_.txt", "colon"},
                                         {"dir_x/", {}},
                                         {"dir_x/inner_1.txt", "inner"},
                                         {"empty.txt", {}}}));
}

TEST_F(DiscBurnerTest, TheRootKeepsTheChecksumListName) {
    ASSERT_TRUE(WriteTestFile(Path("in/SHA256SUMS"), "mine"));
    ASSERT_TRUE(WriteTestFile(Path("in/sub/SHA256SUMS"), "deeper is fine"));
    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso"));
    ASSERT_TRUE(burner.AddFile("\\", Path("in/SHA256SUMS")));
    EXPECT_FALSE(burner.LayoutImage());
    EXPECT_TRUE(burner.LastError().contains("checksum list")) << burner.LastError().toStdString();
    ASSERT_TRUE(burner.ClearImage());
    ASSERT_TRUE(burner.AddFile("\\", Path("in/sub")));
    EXPECT_EQ(burner.FileCount(), 1); // the list itself is not counted
    const Outcome outcome = WriteAndWait(burner);
    ASSERT_TRUE(outcome.Error.isEmpty()) << outcome.Error.toStdString();
    const std::optional<DiscCheckResult> result = VerifyAndWait(burner);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->Ok) << result->Reason.toStdString();
    EXPECT_EQ(CheckWithStandardTools(Path("disc.iso")), QString());
}

TEST_F(DiscBurnerTest, WritesReportsAndFolderReadableThroughJoliet) {
    // Two reports, one with Polish letters, and a folder with a file, a hidden file and a
    // nested folder; the folder goes onto the disc whole.
    const QByteArray detail = "Detail report\r\nZ 0001 .. 0005\r\n";
    const QByteArray tax = QByteArray("PTU A 23%\r\n").repeated(500);
    ASSERT_TRUE(WriteTestFile(Path("reports/Detail20261210_12345.txt"), detail));
    ASSERT_TRUE(WriteTestFile(Path("reports/Raport_podatkowy_żółć_ĄĘŁŃŚŹŻ.txt"), tax));
    ASSERT_TRUE(WriteTestFile(Path("extra/notes.txt"), "notes"));
    ASSERT_TRUE(WriteTestFile(Path("extra/.hidden"), "h"));
    ASSERT_TRUE(WriteTestFile(Path("extra/deeper/inner.bin"), QByteArray(5000, '\x7f')));

    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso"));
    EXPECT_EQ(burner.FolderCount(), 0);
    EXPECT_EQ(burner.FileCount(), 0);
    ASSERT_TRUE(burner.AddFile("\\", Path("reports/Detail20261210_12345.txt")));
    ASSERT_TRUE(burner.AddFile("\\", Path("reports/Raport_podatkowy_żółć_ĄĘŁŃŚŹŻ.txt")));
    ASSERT_TRUE(burner.AddFile("\\", Path("extra")));
    EXPECT_EQ(burner.FolderCount(), 2); // extra, extra/deeper
    EXPECT_EQ(burner.FileCount(), 5);
    ASSERT_TRUE(burner.LayoutImage()) << burner.LastError().toStdString();
    const qint64 need = burner.ImageBlocks();
    EXPECT_GT(need, 0);
    EXPECT_GT(burner.FreeBlocks(), need);

    const Outcome outcome = WriteAndWait(burner);
    ASSERT_TRUE(outcome.Done);
    EXPECT_TRUE(outcome.Error.isEmpty()) << outcome.Error.toStdString();
    EXPECT_EQ(outcome.Events, QStringList({"finalizing", "done"}));
    EXPECT_TRUE(outcome.OnCreatingThread);
    EXPECT_FALSE(burner.IsWriting());
    EXPECT_EQ(burner.BytesWritten(), need * kDiscBlockBytes);
    EXPECT_EQ(QFileInfo(Path("disc.iso")).size(), need * kDiscBlockBytes);

    QString error;
    const QMap<QString, QByteArray> tree = ReadJolietTree(Path("disc.iso"), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QMap<QString, QByteArray> expected = {
        {"Detail20261210_12345.txt", detail},
        {"Raport_podatkowy_żółć_ĄĘŁŃŚŹŻ.txt", tax},
        {"extra/", {}},
        {"extra/notes.txt", "notes"},
        {"extra/.hidden", "h"},
        {"extra/deeper/", {}},
        {"extra/deeper/inner.bin", QByteArray(5000, '\x7f')},
    };
    EXPECT_EQ(tree.keys(), expected.keys());
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(tree.value(it.key()), it.value()) << it.key().toStdString();
}

TEST_F(DiscBurnerTest, ExistingImageFileIsNeverOverwritten) {
    ASSERT_TRUE(WriteTestFile(Path("r.txt"), "report"));
    ASSERT_TRUE(WriteTestFile(Path("disc.iso"), "earlier archive"));
    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso"));
    ASSERT_TRUE(burner.AddFile("\\", Path("r.txt")));
    ASSERT_TRUE(burner.LayoutImage());
    bool doneCalled = false;
    burner.OnWriteDone = [&](const QString&) { doneCalled = true; };
    EXPECT_FALSE(burner.StartWriting());
    EXPECT_TRUE(burner.LastError().contains(QStringLiteral("already exists")))
        << burner.LastError().toStdString();
    EXPECT_TRUE(burner.LastError().contains(Path("disc.iso")));
    QCoreApplication::processEvents();
    EXPECT_FALSE(doneCalled);
    QFile file(Path("disc.iso"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("earlier archive"));
}

TEST_F(DiscBurnerTest, FileDriveCapacityCapsFreeSpaceAndRefusesOversizedImage) {
    ASSERT_TRUE(WriteTestFile(Path("big.bin"), QByteArray(200 * 1024, 'b')));
    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso") + "#40");
    EXPECT_EQ(burner.FreeBlocks(), 40);
    ASSERT_TRUE(burner.AddFile("\\", Path("big.bin")));
    ASSERT_TRUE(burner.LayoutImage());
    EXPECT_GT(burner.ImageBlocks(), 100); // 100 blocks of data plus the file system
    EXPECT_FALSE(burner.StartWriting());
    EXPECT_FALSE(burner.LastError().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Path("disc.iso")));
}

TEST_F(DiscBurnerTest, LibraryWriteFailureReachesOnWriteDoneWithItsReason) {
    // /dev/full takes no data: libburn's own complaint must come back, not a bare "failed".
    ASSERT_TRUE(QFileInfo::exists("/dev/full"));
    ASSERT_TRUE(WriteTestFile(Path("r.txt"), QByteArray(100000, 'r')));
    TDiscBurner burner;
    Start(burner, "stdio:/dev/full");
    ASSERT_TRUE(burner.AddFile("\\", Path("r.txt")));
    ASSERT_TRUE(burner.LayoutImage());
    const Outcome outcome = WriteAndWait(burner);
    ASSERT_TRUE(outcome.Done);
    EXPECT_FALSE(outcome.Error.isEmpty());
    EXPECT_NE(outcome.Error, QStringLiteral("Writing failed")) << outcome.Error.toStdString();
    EXPECT_EQ(outcome.Events, QStringList({"done"}));
    EXPECT_TRUE(outcome.OnCreatingThread);
}

TEST_F(DiscBurnerTest, WritingAfterAFailedWritingIsWholeAndReportedTruthfully) {
    // After a failed run libburn briefly refuses the next one yet calls it well written; the
    // retry must produce the whole image, not an empty file reported as success.
    ASSERT_TRUE(WriteTestFile(Path("r.txt"), QByteArray(100000, 'r')));
    TDiscBurner burner;
    Start(burner, "stdio:/dev/full");
    ASSERT_TRUE(burner.AddFile("\\", Path("r.txt")));
    ASSERT_TRUE(burner.LayoutImage());
    const Outcome failed = WriteAndWait(burner);
    ASSERT_FALSE(failed.Error.isEmpty());

    ASSERT_TRUE(burner.ClearImage());
    ASSERT_TRUE(burner.SelectDrive("stdio:" + Path("retry.iso")));
    ASSERT_TRUE(burner.AddFile("\\", Path("r.txt")));
    ASSERT_TRUE(burner.LayoutImage());
    const Outcome retried = WriteAndWait(burner);
    ASSERT_TRUE(retried.Error.isEmpty()) << retried.Error.toStdString();
    QString error;
    const auto tree = ReadJolietTree(Path("retry.iso"), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_EQ(tree, (QMap<QString, QByteArray>{{"r.txt", QByteArray(100000, 'r')}}));
}

TEST_F(DiscBurnerTest, NameClashFailsWithLibraryReasonUnlessReplacing) {
    ASSERT_TRUE(WriteTestFile(Path("a/report.txt"), "first"));
    ASSERT_TRUE(WriteTestFile(Path("b/report.txt"), "second"));
    for (bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replace" : "keep");
        TDiscBurner burner;
        burner.ReplaceFile = replace;
        Start(burner, "stdio:" + Path(replace ? "r.iso" : "k.iso"));
        ASSERT_TRUE(burner.AddFile("\\", Path("a/report.txt")));
        EXPECT_EQ(burner.AddFile("\\", Path("b/report.txt")), replace);
        EXPECT_EQ(burner.FileCount(), 1);
        if (!replace) {
            EXPECT_TRUE(burner.LastError().contains(Path("b/report.txt")));
            EXPECT_TRUE(burner.LastError().contains(QStringLiteral("name")))
                << burner.LastError().toStdString();
            continue;
        }
        ASSERT_TRUE(burner.LayoutImage());
        const Outcome outcome = WriteAndWait(burner);
        ASSERT_TRUE(outcome.Error.isEmpty()) << outcome.Error.toStdString();
        QString error;
        const auto tree = ReadJolietTree(Path("r.iso"), &error);
        ASSERT_TRUE(error.isEmpty()) << error.toStdString();
        EXPECT_EQ(tree, (QMap<QString, QByteArray>{{"report.txt", "second"}}));
    }
}

TEST_F(DiscBurnerTest, TargetFoldersAndClearImageAndRoom) {
    ASSERT_TRUE(WriteTestFile(Path("f1"), "1"));
    ASSERT_TRUE(WriteTestFile(Path("f2"), "2"));
    ASSERT_TRUE(WriteTestFile(Path("f3"), "3"));
    TDiscBurner burner;
    Start(burner, "stdio:" + Path("disc.iso"));
    ASSERT_TRUE(burner.AddFile("\\reports\\2026\\", Path("f1")));
    ASSERT_TRUE(burner.AddFile("\\reports", Path("f2")));
    EXPECT_EQ(burner.FolderCount(), 2);
    EXPECT_EQ(burner.FileCount(), 2);
    EXPECT_FALSE(burner.AddFile("\\", Path("missing")));
    EXPECT_TRUE(burner.LastError().contains(Path("missing")));

    // Emptied, with room for two files only.
    ASSERT_TRUE(burner.ClearImage(2, 0));
    EXPECT_EQ(burner.FolderCount(), 0);
    EXPECT_EQ(burner.FileCount(), 0);
    EXPECT_TRUE(burner.AddFile("\\", Path("f1")));
    EXPECT_TRUE(burner.AddFile("\\", Path("f2")));
    EXPECT_FALSE(burner.AddFile("\\", Path("f3")));
    EXPECT_FALSE(burner.AddFile("\\sub", Path("f3"))); // no room for a folder either
    EXPECT_EQ(burner.FileCount(), 2);
    EXPECT_EQ(burner.FolderCount(), 0);

    ASSERT_TRUE(burner.ClearImage());
    EXPECT_FALSE(burner.StartWriting()); // nothing to write
    EXPECT_FALSE(QFileInfo::exists(Path("disc.iso")));
}

TEST_F(DiscBurnerTest, ReleasingWhileWritingStopsAndRemovesThePartialImage) {
    // Large enough that writing is still under way when the engine goes.
    QFile big(Path("big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    const QByteArray chunk(1 << 20, 'z');
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(big.write(chunk), chunk.size());
    big.close();
    bool doneCalled = false;
    {
        TDiscBurner burner;
        Start(burner, "stdio:" + Path("disc.iso"));
        ASSERT_TRUE(burner.AddFile("\\", Path("big.bin")));
        ASSERT_TRUE(burner.LayoutImage());
        burner.OnWriteDone = [&](const QString&) { doneCalled = true; };
        ASSERT_TRUE(burner.StartWriting()) << burner.LastError().toStdString();
        EXPECT_TRUE(burner.IsWriting());
        // Operations that would disturb the writing are refused meanwhile.
        EXPECT_FALSE(burner.AddFile("\\", Path("big.bin")));
        EXPECT_FALSE(burner.ClearImage());
        EXPECT_TRUE(burner.LastError().contains(QStringLiteral("writing")));
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(doneCalled);
    // Either the cancel came in time and the partial image was removed, or the writing had
    // already ended whole; never a truncated image left behind.
    if (QFileInfo::exists(Path("disc.iso"))) {
        EXPECT_GE(QFileInfo(Path("disc.iso")).size(), 150LL << 20);
    }
}

TEST_F(DiscBurnerTest, DriveListAddsExtraFileDrives) {
    const QString a = Path("a.iso");
    const QString b = Path("b.iso");
    qputenv(kExtraDrivesVariable, ("stdio:" + a + "#100;stdio:" + b).toUtf8());
    TDiscBurner burner;
    ASSERT_TRUE(burner.InitializeASPI(false));
    EXPECT_EQ(burner.Drives(), QStringList({"stdio:" + a, "stdio:" + b}));
    ASSERT_TRUE(burner.SelectDrive("stdio:" + a));
    EXPECT_EQ(burner.SelectedDrive(), "stdio:" + a);
    EXPECT_EQ(burner.FreeBlocks(), 100); // the listed capacity, not the file system's space
    ASSERT_TRUE(burner.SelectDrive("stdio:" + b));
    EXPECT_GT(burner.FreeBlocks(), 100);
    EXPECT_FALSE(burner.SelectDrive("stdio:" + Path("no/such/folder/c.iso")));
    EXPECT_FALSE(burner.LastError().isEmpty());
    qunsetenv(kExtraDrivesVariable);
}

} // namespace
