#include "archive/burn_form.h"
#include "archive/burn_texts.h"
#include "archive/drive_address.h"
#include "iso_readback.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "archive_window_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Answers the window's dialogs as a test operator would.
struct ScriptedDialogs : TBurnDialogs {
    QStringList Files;
    QString Folder;
    QString FolderTitle;
    QString SaveAnswer;
    QString SaveFilter;
    int Saves = 0;
    int Beeps = 0;

    QStringList OpenFiles(QWidget*, const QString&) override { return Files; }
    QString BrowseFolder(QWidget*, const QString& Title) override {
        FolderTitle = Title;
        return Folder;
    }
    QString SaveFile(QWidget*, const QString&, const QString& Filter) override {
        ++Saves;
        SaveFilter = Filter;
        return SaveAnswer;
    }
    void Beep() override { ++Beeps; }
};

class BurnFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(Dir.isValid());
        qunsetenv(kExtraDrivesVariable);
    }
    void TearDown() override { qunsetenv(kExtraDrivesVariable); }

    QString Path(const QString& Name) const { return Dir.filePath(Name); }

    // A window whose drive list holds the given "stdio:" drives (optical writers of the
    // machine may come first; the tests select their own drive by name).
    void MakeWindow(const QStringList& Drives, const QString& LanguageFile = QString()) {
        qputenv(kExtraDrivesVariable, Drives.join(u';').toUtf8());
        auto dialogs = std::make_unique<ScriptedDialogs>();
        Dialogs = dialogs.get();
        Form = std::make_unique<TBurnFrm>(nullptr, std::move(dialogs),
                                          LanguageFile.isEmpty() ? Path("no-language-file.LNG")
                                                                 : LanguageFile);
    }

    void ChooseDrive(const QString& Address) {
        const int index = Form->cbb1->findText(Address);
        ASSERT_GE(index, 0) << Address.toStdString();
        Form->cbb1->setCurrentIndex(index);
        Form->cbb1Change();
        ASSERT_EQ(Form->Burner.SelectedDrive(), Address);
    }

    QStringList MemoLines() const {
        return Form->Memo1->toPlainText().split(u'\n', Qt::SkipEmptyParts);
    }

    QStringList ShownNames() const {
        QStringList names;
        for (int row = 0; row < Form->lv1->rowCount(); ++row)
            names.append(Form->lv1->item(row, 0)->text());
        return names;
    }

    // Presses Burn and, when writing starts, lets the event loop run until the Burn has ended:
    // writing failed, or the read-back after it is over (with a generous hang guard).
    // BetweenWritingAndReading runs after the engine reports the end of writing and before the
    // window sees it.
    void BurnAndWait(const std::function<void()>& BetweenWritingAndReading = {}) {
        QEventLoop loop;
        const auto writeHandler = Form->Burner.OnWriteDone;
        const auto verifyHandler = Form->Burner.OnVerifyDone;
        bool done = false;
        Form->Burner.OnWriteDone = [&](const QString& Error) {
            if (BetweenWritingAndReading)
                BetweenWritingAndReading();
            writeHandler(Error);
            // The button comes back only when the Burn is over; while the disc is read back
            // (which may already have ended, its event still queued) it stays off.
            if (Form->BurnBtn->isEnabled()) {
                done = true;
                loop.quit();
            }
        };
        Form->Burner.OnVerifyDone = [&](const DiscCheckResult& Result) {
            verifyHandler(Result);
            done = true;
            loop.quit();
        };
        Form->BurnBtn->click();
        if (Form->Burner.IsWriting()) {
            QTimer::singleShot(120000, &loop, &QEventLoop::quit);
            loop.exec();
            EXPECT_TRUE(done);
        }
        Form->Burner.OnWriteDone = writeHandler;
        Form->Burner.OnVerifyDone = verifyHandler;
    }

    QTemporaryDir Dir;
    ScriptedDialogs* Dialogs = nullptr;
    std::unique_ptr<TBurnFrm> Form;
};

TEST_F(BurnFormTest, CreationListsDrivesAndSelectsTheFirst) {
    const QString a = "stdio:" + Path("a.iso");
    const QString b = "stdio:" + Path("b.iso");
    MakeWindow({a, b});
    // File drives follow whatever optical writers the machine has; the image file entry ends
    // the list.
    ASSERT_GE(Form->cbb1->count(), 3);
    EXPECT_EQ(Form->cbb1->itemText(Form->cbb1->count() - 3), a);
    EXPECT_EQ(Form->cbb1->itemText(Form->cbb1->count() - 2), b);
    EXPECT_EQ(Form->cbb1->itemText(Form->cbb1->count() - 1), QStringLiteral("ISO image file..."));
    EXPECT_EQ(Form->cbb1->currentIndex(), 0);
    EXPECT_EQ(Form->Burner.SelectedDrive().isEmpty(), false);
    EXPECT_TRUE(Form->Memo1->toPlainText().isEmpty());
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Burn"));
    EXPECT_EQ(Form->BurnBtn->text(), QStringLiteral("Burn"));
    EXPECT_EQ(Form->Drivelabel->text(), QStringLiteral("Drive: "));
    EXPECT_TRUE(Form->lv1->isColumnHidden(1));
    EXPECT_EQ(Form->Timer1->interval(), 1000);
    EXPECT_TRUE(Form->Timer1->isActive());
}

TEST_F(BurnFormTest, BurnWritesReportsAndFolderEntriesToTheDisc) {
    const QByteArray detail = "Detail\r\n";
    const QByteArray summary = "Podsumowanie dzienne\r\n";
    ASSERT_TRUE(WriteTestFile(Path("Txtfile/Detail20261210_05123.txt"), detail));
    ASSERT_TRUE(WriteTestFile(Path("Txtfile/Sumaryczny_łódź.txt"), summary));
    ASSERT_TRUE(WriteTestFile(Path("more/one.txt"), "1"));
    ASSERT_TRUE(WriteTestFile(Path("more/two.txt"), "22"));
    ASSERT_TRUE(WriteTestFile(Path("more/sub/three.txt"), "333"));
    const QString drive = "stdio:" + Path("disc.iso");
    MakeWindow({drive});
    ChooseDrive(drive);

    Form->AddFiles({Path("Txtfile/Detail20261210_05123.txt"), Path("Txtfile/Sumaryczny_łódź.txt")});
    Dialogs->Folder = Path("more");
    Form->FolderBtn->click();
    EXPECT_EQ(Dialogs->FolderTitle, QStringLiteral("Open folder"));
    EXPECT_EQ(ShownNames(), QStringList({"Detail20261210_05123.txt", "Sumaryczny_łódź.txt",
                                         "one.txt", "sub", "two.txt"}));

    BurnAndWait();
    EXPECT_EQ(MemoLines(), QStringList({"Burning CD - Please wait",
                                        "FINALIZING TRACK - PLEASE WAIT", "Burning done - No error",
                                        "Verifying - please wait", "Verify done - 5 files match"}));
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    EXPECT_EQ(Dialogs->Beeps, 1);
    // The image is emptied for the next Burn.
    EXPECT_EQ(Form->Burner.FileCount(), 0);
    Form->Timer1Timer();
    EXPECT_EQ(Form->pb->value(), Form->pb->maximum());
    EXPECT_EQ(qint64(Form->pb->maximum()) * kDiscBlockBytes, QFileInfo(Path("disc.iso")).size());

    QString error;
    const QMap<QString, QByteArray> tree = ReadJolietTree(Path("disc.iso"), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QMap<QString, QByteArray> expected = {
        {"Detail20261210_05123.txt", detail},
        {"Sumaryczny_łódź.txt", summary},
        {"one.txt", "1"},
        {"two.txt", "22"},
        {"sub/", {}},
        {"sub/three.txt", "333"},
    };
    EXPECT_EQ(tree, expected);
}

TEST_F(BurnFormTest, EmptyListDoesNothing) {
    const QString drive = "stdio:" + Path("disc.iso");
    MakeWindow({drive});
    ChooseDrive(drive);
    Form->BurnBtn->click();
    QCoreApplication::processEvents();
    EXPECT_TRUE(Form->Memo1->toPlainText().isEmpty());
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    EXPECT_FALSE(Form->Burner.IsWriting());
    EXPECT_EQ(Dialogs->Beeps, 0);
    EXPECT_FALSE(QFileInfo::exists(Path("disc.iso")));
}

TEST_F(BurnFormTest, TooSmallDiscStopsWithBothSizesAndLeavesNothingForTheNextBurn) {
    // 10 MB of reports on a disc of 5 MB.
    ASSERT_TRUE(WriteTestFile(Path("r/big1.txt"), QByteArray(5 << 20, 'a')));
    ASSERT_TRUE(WriteTestFile(Path("r/big2.txt"), QByteArray(5 << 20, 'b')));
    ASSERT_TRUE(WriteTestFile(Path("r/small.txt"), "small"));
    const QString small = "stdio:" + Path("small.iso");
    const QString large = "stdio:" + Path("large.iso");
    MakeWindow({small + "#2560", large});
    ChooseDrive(small);
    Form->AddFiles({Path("r/big1.txt"), Path("r/big2.txt")});
    Form->BurnBtn->click();
    QCoreApplication::processEvents();

    ASSERT_EQ(MemoLines().size(), 1);
    const QString line = MemoLines().first();
    EXPECT_TRUE(line.startsWith("INSUFFICIENT DISC SPACE. REQUIRED ")) << line.toStdString();
    EXPECT_TRUE(line.endsWith(" KB,AVAILABLE 5120 KB")) << line.toStdString();
    const qint64 requiredKb = line.section(u' ', 4, 4).toLongLong(); // "... REQUIRED <n> KB,..."
    EXPECT_GT(requiredKb, 10 * 1024);
    EXPECT_LT(requiredKb, 10 * 1024 + 200);
    EXPECT_EQ(line, InsufficientSpaceText(requiredKb / 2, 2560));
    EXPECT_FALSE(QFileInfo::exists(Path("small.iso")));
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    // Nothing of the stopped Burn stays in the image.
    EXPECT_EQ(Form->Burner.FileCount(), 0);

    // The next Burn writes exactly its own list.
    Form->ClearFiles();
    Form->AddFile(Path("r/small.txt"));
    Form->Memo1->clear();
    ChooseDrive(large);
    BurnAndWait();
    EXPECT_EQ(MemoLines().mid(MemoLines().size() - 3),
              QStringList({"Burning done - No error", "Verifying - please wait",
                           "Verify done - 1 files match"}));
    QString error;
    const auto tree = ReadJolietTree(Path("large.iso"), &error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_EQ(tree, (QMap<QString, QByteArray>{{"small.txt", "small"}}));
}

TEST_F(BurnFormTest, FailedStartGivesTheReasonAndTheButtonBack) {
    ASSERT_TRUE(WriteTestFile(Path("r.txt"), "report"));
    ASSERT_TRUE(WriteTestFile(Path("disc.iso"), "an earlier archive"));
    const QString drive = "stdio:" + Path("disc.iso");
    MakeWindow({drive});
    ChooseDrive(drive);
    Form->AddFile(Path("r.txt"));
    BurnAndWait();
    const QStringList lines = MemoLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("Burning CD - Please wait"));
    EXPECT_EQ(lines[1], QStringLiteral("Burning done - With error"));
    EXPECT_TRUE(lines[2].contains("already exists")) << lines[2].toStdString();
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    EXPECT_EQ(Form->Burner.FileCount(), 0);
    EXPECT_EQ(Dialogs->Beeps, 1);
    QFile file(Path("disc.iso"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("an earlier archive"));
}

TEST_F(BurnFormTest, WriteErrorFromTheLibraryIsShownAndTheButtonComesBack) {
    ASSERT_TRUE(WriteTestFile(Path("r.txt"), QByteArray(100000, 'r')));
    MakeWindow({"stdio:/dev/full"});
    ChooseDrive("stdio:/dev/full");
    Form->AddFile(Path("r.txt"));
    BurnAndWait();
    const QStringList lines = MemoLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("Burning CD - Please wait"));
    EXPECT_EQ(lines[1], QStringLiteral("Burning done - With error"));
    EXPECT_FALSE(lines[2].isEmpty());
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    EXPECT_EQ(Form->Burner.FileCount(), 0);
}

TEST_F(BurnFormTest, AddFailureStopsTheBurnAndEmptiesTheImage) {
    // Two reports of the same name from different folders cannot share the root.
    ASSERT_TRUE(WriteTestFile(Path("a/report.txt"), "a"));
    ASSERT_TRUE(WriteTestFile(Path("b/report.txt"), "b"));
    const QString drive = "stdio:" + Path("disc.iso");
    MakeWindow({drive});
    ChooseDrive(drive);
    Form->AddFiles({Path("a/report.txt"), Path("b/report.txt")});
    Form->BurnBtn->click();
    QCoreApplication::processEvents();
    ASSERT_EQ(MemoLines().size(), 1);
    EXPECT_TRUE(MemoLines()[0].contains(Path("b/report.txt")));
    EXPECT_EQ(Form->Burner.FileCount(), 0);
    EXPECT_FALSE(QFileInfo::exists(Path("disc.iso")));
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
}

TEST_F(BurnFormTest, FolderButtonAddsEntriesWithoutDescending) {
    ASSERT_TRUE(WriteTestFile(Path("f/a.txt"), "a"));
    ASSERT_TRUE(WriteTestFile(Path("f/b.txt"), "b"));
    ASSERT_TRUE(WriteTestFile(Path("f/sub/deep.txt"), "d"));
    MakeWindow({});
    Form->AddFile(Path("first.txt"));
    Dialogs->Folder = Path("f");
    Form->FolderBtnClick();
    EXPECT_EQ(ShownNames(), QStringList({"first.txt", "a.txt", "b.txt", "sub"}));
    EXPECT_EQ(Form->Files(),
              QStringList({Path("first.txt"), Path("f/a.txt"), Path("f/b.txt"), Path("f/sub")}));

    // Hidden entries count too; a cancelled browser adds nothing.
    ASSERT_TRUE(WriteTestFile(Path("g/.hidden"), "h"));
    Dialogs->Folder = Path("g");
    Form->FolderBtnClick();
    Dialogs->Folder.clear();
    Form->FolderBtnClick();
    EXPECT_EQ(ShownNames().size(), 5);
    EXPECT_EQ(ShownNames().last(), QStringLiteral(".hidden"));
}

TEST_F(BurnFormTest, FileButtonAddsChosenFilesInOrder) {
    MakeWindow({});
    Dialogs->Files = {Path("z.txt"), Path("sub/a.txt")};
    Form->FileBtn->click();
    Dialogs->Files.clear(); // cancelled
    Form->FileBtnClick();
    EXPECT_EQ(ShownNames(), QStringList({"z.txt", "a.txt"}));
    EXPECT_EQ(Form->Files(), QStringList({Path("z.txt"), Path("sub/a.txt")}));
}

TEST_F(BurnFormTest, DeleteRemovesSelectedRowsKeepingTheOthersInOrder) {
    struct Case {
        QList<int> Selected;
        QStringList Left;
    };
    const Case cases[] = {
        {{1, 3}, {"1", "3", "5"}},
        {{0, 1, 2, 3, 4}, {}},
        {{4}, {"1", "2", "3", "4"}},
        {{}, {"1", "2", "3", "4", "5"}},
    };
    MakeWindow({});
    for (const Case& c : cases) {
        Form->ClearFiles();
        for (const char* name : {"1", "2", "3", "4", "5"})
            Form->AddFile(Path(name));
        Form->lv1->clearSelection();
        for (int row : c.Selected)
            Form->lv1->selectionModel()->select(Form->lv1->model()->index(row, 0),
                                                QItemSelectionModel::Select |
                                                    QItemSelectionModel::Rows);
        Form->DeleteBtn->click();
        EXPECT_EQ(ShownNames(), c.Left);
    }
}

TEST_F(BurnFormTest, LanguageFileRenamesCaptionsOnEveryShowing) {
    const QString lng = Path("OrvexFM.LNG");
    ASSERT_TRUE(WriteTestFile(lng, "[seting]\r\ns20=Nagraj\r\ns23=Nap\xea\x64: \r\ns18=Usu\xf1\r\n"
                                   "s24=Otw\xf3rz plik\r\ns25=Otw\xf3rz folder\r\ns26=Plik\r\n"));
    MakeWindow({}, lng);
    // Nothing is applied before the window is shown.
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Burn"));
    Form->FormShow();
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Nagraj"));
    EXPECT_EQ(Form->BurnBtn->text(), QStringLiteral("Nagraj"));
    EXPECT_EQ(Form->Drivelabel->text(), QStringLiteral("Napęd:"));
    EXPECT_EQ(Form->DeleteBtn->toolTip(), QStringLiteral("Usuń"));
    EXPECT_EQ(Form->FileBtn->toolTip(), QStringLiteral("Otwórz plik"));
    EXPECT_EQ(Form->FolderBtn->toolTip(), QStringLiteral("Otwórz folder"));
    EXPECT_EQ(Form->lv1->horizontalHeaderItem(0)->text(), QStringLiteral("Plik"));

    // Edited file: a key it no longer holds empties its caption at the next showing.
    ASSERT_TRUE(WriteTestFile(lng, "[seting]\r\ns20=Zapis\r\n"));
    Form->FormShow();
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Zapis"));
    EXPECT_EQ(Form->BurnBtn->text(), QStringLiteral("Zapis"));
    EXPECT_EQ(Form->Drivelabel->text(), QString());
    EXPECT_EQ(Form->FolderBtn->toolTip(), QString());

    // Without a file the window keeps what it shows.
    ASSERT_TRUE(QFile::remove(lng));
    Form->FormShow();
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Zapis"));
}

TEST_F(BurnFormTest, ShowModalAppliesTheLanguageAndCentresOverItsOwner) {
    const QString lng = Path("OrvexFM.LNG");
    ASSERT_TRUE(WriteTestFile(lng, "[seting]\r\ns20=Nagraj\r\n"));
    MakeWindow({}, lng);
    QWidget owner;
    owner.setGeometry(100, 80, 900, 700);
    owner.show();
    QString titleWhileShown;
    QPoint centreWhileShown;
    QTimer::singleShot(0, Form.get(), [&] {
        titleWhileShown = Form->windowTitle();
        centreWhileShown = Form->frameGeometry().center();
        Form->accept();
    });
    Form->ShowModal(&owner);
    EXPECT_EQ(titleWhileShown, QStringLiteral("Nagraj"));
    EXPECT_LE((centreWhileShown - owner.frameGeometry().center()).manhattanLength(), 4);
    // The classic width; the height grows only as far as the file list needs (below).
    EXPECT_EQ(Form->width(), 491);
    EXPECT_GE(Form->height(), 235);
}

TEST_F(BurnFormTest, FileListShowsEightRowsUnderACaption) {
    MakeWindow({});
    for (int i = 0; i < 12; ++i)
        Form->AddFile(Path(QStringLiteral("report%1.txt").arg(i)));
    Form->show();
    QCoreApplication::processEvents();
    const int rowHeight = Form->lv1->rowHeight(0);
    ASSERT_GT(rowHeight, 0);
    EXPECT_GE(Form->lv1->viewport()->height(), 8 * rowHeight);
    // Eight whole rows are on screen before any scrolling.
    EXPECT_EQ(Form->lv1->rowAt(0), 0);
    EXPECT_GE(Form->lv1->rowAt(8 * rowHeight - 1), 7);
    ASSERT_NE(Form->lv1->horizontalHeaderItem(0), nullptr);
    EXPECT_EQ(Form->lv1->horizontalHeaderItem(0)->text(), QStringLiteral("File"));
    EXPECT_FALSE(Form->lv1->horizontalHeader()->isHidden());
    // A language file without a caption for the list keeps one.
    const QString lng = Path("OrvexFM.LNG");
    ASSERT_TRUE(WriteTestFile(lng, "[seting]\r\ns20=Nagraj\r\n"));
    MakeWindow({}, lng);
    Form->FormShow();
    EXPECT_EQ(Form->lv1->horizontalHeaderItem(0)->text(), QStringLiteral("File"));
    Form->hide();
}

TEST_F(BurnFormTest, ProgressBarStartsFromZeroAtEveryBurnAndCoversTheReadBack) {
    ASSERT_TRUE(WriteTestFile(Path("r/a.txt"), QByteArray(300000, 'a')));
    ASSERT_TRUE(WriteTestFile(Path("r/big.txt"), QByteArray(3 << 20, 'b')));
    const QString drive = "stdio:" + Path("disc.iso");
    const QString tiny = "stdio:" + Path("tiny.iso");
    MakeWindow({drive, tiny + "#100"});
    ChooseDrive(drive);
    Form->AddFile(Path("r/a.txt"));
    int halfway = -1; // the bar when writing has ended and reading back begins
    BurnAndWait([&] {
        Form->Timer1Timer();
        halfway = Form->pb->value();
    });
    EXPECT_EQ(MemoLines().last(), QStringLiteral("Verify done - 1 files match"));
    EXPECT_EQ(Form->pb->value(), Form->pb->maximum());
    // Writing alone fills half the bar; the read-back the rest.
    EXPECT_EQ(halfway, Form->pb->maximum() / 2);

    // The next Burn starts from an empty bar, also when it stops before writing.
    Form->ClearFiles();
    Form->AddFile(Path("r/big.txt"));
    ChooseDrive(tiny);
    Form->BurnBtn->click();
    EXPECT_EQ(Form->pb->value(), 0);
    Form->Timer1Timer();
    EXPECT_EQ(Form->pb->value(), 0);
    EXPECT_TRUE(MemoLines().last().startsWith("INSUFFICIENT DISC SPACE"))
        << MemoLines().last().toStdString();
}

TEST_F(BurnFormTest, ReadBackCatchesATargetChangedAfterWriting) {
    ASSERT_TRUE(WriteTestFile(Path("r/Raport_dzienny_żółw.txt"), QByteArray(5000, 'z')));
    ASSERT_TRUE(WriteTestFile(Path("r/Detail.txt"), "detail"));
    const QString image = Path("disc.iso");
    MakeWindow({"stdio:" + image});
    ChooseDrive("stdio:" + image);
    Form->AddFiles({Path("r/Raport_dzienny_żółw.txt"), Path("r/Detail.txt")});
    BurnAndWait([&] {
        // Between writing and reading back, one byte inside one file's data changes.
        const qint64 block = FileDataBlock(image, "/Raport_dzienny_żółw.txt");
        ASSERT_GT(block, 0);
        ASSERT_TRUE(FlipByte(image, block * kDiscBlockBytes + 1234));
    });
    const QStringList lines = MemoLines();
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(lines[2], QStringLiteral("Burning done - No error"));
    EXPECT_EQ(lines[3], QStringLiteral("Verifying - please wait"));
    EXPECT_EQ(lines[4], QStringLiteral("Verify FAILED - Raport_dzienny_żółw.txt"));
    EXPECT_TRUE(Form->BurnBtn->isEnabled());
    EXPECT_EQ(Dialogs->Beeps, 1);
    EXPECT_LT(Form->pb->value(), Form->pb->maximum());
    // The tools say the same of the image.
    EXPECT_FALSE(CheckWithStandardTools(image).isEmpty());
}

TEST_F(BurnFormTest, ImageFileEntryWritesWhereTheSaveDialogSaysAndVerifies) {
    ASSERT_TRUE(WriteTestFile(Path("r/Zmiana_stawki_ąę.txt"), "PTU A 23%"));
    ASSERT_TRUE(WriteTestFile(Path("r/Detail.txt"), "detail"));
    ASSERT_TRUE(WriteTestFile(Path("out/taken.iso"), "an earlier archive"));
    const QString first = "stdio:" + Path("first.iso");
    MakeWindow({first});
    ChooseDrive(first);
    const int entry = Form->cbb1->count() - 1;
    ASSERT_EQ(Form->cbb1->itemText(entry), QStringLiteral("ISO image file..."));

    struct Case {
        const char* Name;
        QString Answer;        // the save dialog's answer
        QString SelectedAfter; // the engine's drive afterwards
        bool Says;             // a line in the memo
    };
    const Case cases[] = {
        {"cancelled", QString(), first, false},
        {"existing file", Path("out/taken.iso"), first, true},
        {"new file without suffix", Path("out/archiwum"), "stdio:" + Path("out/archiwum.iso"),
         false},
        {"another new file", Path("out/archiwum2.iso"), "stdio:" + Path("out/archiwum2.iso"),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Form->Memo1->clear();
        Dialogs->SaveAnswer = c.Answer;
        const int saves = Dialogs->Saves;
        Form->cbb1->setCurrentIndex(Form->cbb1->count() - 1);
        Form->cbb1Change();
        EXPECT_EQ(Dialogs->Saves, saves + 1);
        EXPECT_TRUE(Dialogs->SaveFilter.contains("*.iso"));
        EXPECT_EQ(Form->Burner.SelectedDrive(), c.SelectedAfter);
        EXPECT_EQ(Form->cbb1->currentText(), c.SelectedAfter);
        EXPECT_EQ(Form->cbb1->itemText(Form->cbb1->count() - 1),
                  QStringLiteral("ISO image file..."));
        EXPECT_EQ(MemoLines().size(), c.Says ? 1 : 0);
    }
    // One entry for the chosen file, replaced by the next choice.
    EXPECT_EQ(Form->cbb1->findText("stdio:" + Path("out/archiwum.iso")), -1);

    Form->AddFiles({Path("r/Zmiana_stawki_ąę.txt"), Path("r/Detail.txt")});
    BurnAndWait();
    EXPECT_EQ(MemoLines().last(), QStringLiteral("Verify done - 2 files match"));
    const QString image = Path("out/archiwum2.iso");
    EXPECT_EQ(CheckWithStandardTools(image), QString());
    QString error;
    EXPECT_EQ(ReadJolietTree(image, &error),
              (QMap<QString, QByteArray>{{"Zmiana_stawki_ąę.txt", "PTU A 23%"},
                                         {"Detail.txt", "detail"}}));
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    QFile taken(Path("out/taken.iso"));
    ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
    EXPECT_EQ(taken.readAll(), QByteArray("an earlier archive"));

    // Burn pressed while the entry shows and no file has been chosen (as on a machine without
    // writers) asks first; cancelled, nothing happens.
    Form->cbb1->setCurrentIndex(Form->cbb1->count() - 1);
    Form->Memo1->clear();
    Dialogs->SaveAnswer.clear();
    const int saves = Dialogs->Saves;
    Form->BurnBtn->click();
    EXPECT_EQ(Dialogs->Saves, saves + 1);
    EXPECT_TRUE(Form->Memo1->toPlainText().isEmpty());
    Dialogs->SaveAnswer = Path("out/asked.iso");
    Form->cbb1->setCurrentIndex(Form->cbb1->count() - 1);
    BurnAndWait();
    EXPECT_EQ(MemoLines().last(), QStringLiteral("Verify done - 2 files match"));
    EXPECT_EQ(CheckWithStandardTools(Path("out/asked.iso")), QString());
}

} // namespace
