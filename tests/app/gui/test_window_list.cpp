// The uploaded-file list in the window: loading at start-up, saving at close, the status
// line, double-click, Delete and the Burn hand-over.

#include "gui_support.h"

#include "app/core/report_list_model.h"

#include <QDir>
#include <QItemSelectionModel>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTextEdit>

using namespace gui;

namespace {

class ListTest : public WindowFixture {
protected:
    QString ListFile() { return Bin(QStringLiteral("Data/FMList.txt")); }
    void WriteList(const QByteArray& Bytes) {
        ASSERT_TRUE(QDir().mkpath(Bin(QStringLiteral("Data"))));
        ASSERT_TRUE(WriteAll(ListFile(), Bytes));
    }
};

class RecordingArchive : public TArchiveHandOver {
public:
    QStringList Files;
    int Clears = 0;
    int Shown = 0;
    void ClearFiles() override {
        ++Clears;
        Files.clear();
    }
    void AddFile(const QString& Path) override { Files << Path; }
    void ShowModal(QWidget*) override { ++Shown; }
};

TEST_F(ListTest, ListFileCasesLoadAtStartUpAndSaveAtClose) {
    struct Case {
        const char* Name;
        QByteArray File;
        QList<ReportListEntry> Expected;
        QByteArray SavedBack;
    };
    const QByteArray header = "ReportType\tfilename\tdCreate\r\n";
    const Case cases[] = {
        {"header only: empty list", header, {}, header},
        {"reordered columns go to their fields",
         "dCreate\tFILENAME\treporttype\r\n01/02/2024\t/r/Detail1.txt\tDetail\r\n",
         {{"Detail", "/r/Detail1.txt", "01/02/2024"}},
         header + "Detail\t/r/Detail1.txt\t01/02/2024\r\n"},
        {"long report type cut to 8 characters",
         header + "Change the currency\t/r/Chy1.txt\t03/04/2024\r\n",
         {{"Change t", "/r/Chy1.txt", "03/04/2024"}},
         header + "Change t\t/r/Chy1.txt\t03/04/2024\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        WriteList(c.File);
        Tfrm_Main& w = Make();
        EXPECT_EQ(w.dxlist.Entries(), c.Expected);
        EXPECT_EQ(w.ListModel().rowCount(), c.Expected.size());
        if (!c.Expected.isEmpty()) {
            EXPECT_EQ(w.dxlist.CurrentIndex(), 0);
            EXPECT_EQ(w.lb_file->text(), c.Expected.first().filename);
            EXPECT_EQ(w.wwfilelist->currentIndex().row(), 0);
        }
        w.close();
        EXPECT_EQ(ReadAll(ListFile()), c.SavedBack);
        Destroy();
    }
}

TEST_F(ListTest, EmptyListIsSavedAsTheHeaderLineAndDeleteDoesNothing) {
    Tfrm_Main& w = Make();
    ASSERT_TRUE(w.dxlist.IsEmpty());
    w.btn4->click();
    w.N1Click();
    EXPECT_TRUE(w.dxlist.IsEmpty());
    EXPECT_TRUE(Dialogs.Messages.isEmpty());
    w.close();
    EXPECT_EQ(ReadAll(ListFile()), QByteArray("ReportType\tfilename\tdCreate\r\n"));
}

TEST_F(ListTest, AddedReportBecomesCurrentAndDeleteKeepsTheFile) {
    const QString report = PathIn(QStringLiteral("Detail20240101_01001.txt"));
    ASSERT_TRUE(WriteAll(report, "line one\r\nline two\r\n"));
    WriteList("ReportType\tfilename\tdCreate\r\nSummary\t/gone/Summary.txt\t01/01/2024\r\n");
    Tfrm_Main& w = Make();
    w.pgbar->show();
    w.AddListEntry(report, QStringLiteral("Change the tax rate"));
    ASSERT_EQ(w.dxlist.Count(), 2);
    EXPECT_EQ(w.dxlist.CurrentIndex(), 1);
    EXPECT_EQ(w.dxlist.At(1).ReportType, QStringLiteral("Change t"));
    EXPECT_EQ(w.dxlist.At(1).dCreate, FormatListDate(QDate::currentDate()));
    EXPECT_EQ(w.wwfilelist->currentIndex().row(), 1);
    EXPECT_TRUE(w.pgbar->isHidden()); // the status line is uncovered
    EXPECT_EQ(w.lb_file->text(), QStringLiteral("/gone/Summary.txt")); // label kept

    // Double-click shows the current report; a missing file is reported, memo kept.
    w.wwfilelistDblClick();
    EXPECT_EQ(w.MemoLines(), (QStringList{"line one", "line two"}));
    w.ListModel().SetCurrent(0);
    EXPECT_EQ(w.lb_file->text(), QStringLiteral("/gone/Summary.txt"));
    w.wwfilelistDblClick();
    EXPECT_EQ(w.MemoLines(), (QStringList{"line one", "line two"}));
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_TRUE(Dialogs.Messages[0].Text.contains(QStringLiteral("/gone/Summary.txt")));

    // Several rows selected: Delete removes only the current entry; files stay.
    w.wwfilelist->selectAll();
    w.ListModel().SetCurrent(1);
    w.btn4->click();
    ASSERT_EQ(w.dxlist.Count(), 1);
    EXPECT_EQ(w.dxlist.At(0).filename, QStringLiteral("/gone/Summary.txt"));
    EXPECT_TRUE(QFileInfo::exists(report));
}

TEST_F(ListTest, StatusLabelClickOpensTheFolderOfItsFile) {
    const QString report = PathIn(QStringLiteral("Detail.txt"));
    ASSERT_TRUE(WriteAll(report, "x\r\n"));
    WriteList("ReportType\tfilename\tdCreate\r\nDetail\t" + report.toUtf8() + "\t01/01/2024\r\n");
    Tfrm_Main& w = Make();
    ASSERT_EQ(w.lb_file->text(), report);
    w.lb_fileClick();
    EXPECT_EQ(Dialogs.OpenedFolders, QStringList{QFileInfo(report).absolutePath()});
    w.lb_file->setText(QStringLiteral("/no/such/folder/file.txt"));
    w.lb_fileClick();
    EXPECT_EQ(Dialogs.OpenedFolders.size(), 1);

    // Hover: blue text and a hand pointer, back to normal when the pointer leaves.
    const QColor normal = w.lb_file->palette().color(QPalette::WindowText);
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(w.lb_file, &enter);
    EXPECT_EQ(w.lb_file->palette().color(QPalette::WindowText), QColor(Qt::blue));
    EXPECT_EQ(w.lb_file->cursor().shape(), Qt::PointingHandCursor);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(w.lb_file, &leave);
    EXPECT_EQ(w.lb_file->palette().color(QPalette::WindowText), normal);
    EXPECT_EQ(w.lb_file->cursor().shape(), Qt::ArrowCursor);
}

TEST_F(ListTest, BurnHandsOverTheExistingFilesOfTheSelectedRows) {
    QStringList files;
    QByteArray list = "ReportType\tfilename\tdCreate\r\n";
    for (int i = 0; i < 4; ++i) {
        files << PathIn(QStringLiteral("Report%1.txt").arg(i));
        list += "Detail\t" + files.last().toUtf8() + "\t01/01/2024\r\n";
        if (i != 2) { // the third report was deleted from disk
            ASSERT_TRUE(WriteAll(files.last(), "r\r\n"));
        }
    }
    WriteList(list);
    Tfrm_Main& w = Make();
    RecordingArchive archive;
    archive.Files << QStringLiteral("left over");
    w.SetArchiveWindow(&archive);

    QItemSelectionModel* sel = w.wwfilelist->selectionModel();
    sel->clearSelection();
    for (int row : {3, 1, 2})
        sel->select(w.ListModel().index(row, 0),
                    QItemSelectionModel::Select | QItemSelectionModel::Rows);
    w.btn2->click();
    EXPECT_EQ(archive.Clears, 1);
    EXPECT_EQ(archive.Shown, 1);
    EXPECT_EQ(archive.Files, (QStringList{files[1], files[3]}));
    EXPECT_EQ(w.dxlist.CurrentIndex(), 0);

    // No selection: the window opens with an empty list.
    sel->clearSelection();
    w.btn2->click();
    EXPECT_TRUE(archive.Files.isEmpty());
    EXPECT_EQ(archive.Shown, 2);
}

TEST_F(ListTest, BurnWithoutArchiveWindowNamesTheFilesItWouldHandOver) {
    const QString report = PathIn(QStringLiteral("Tax.txt"));
    ASSERT_TRUE(WriteAll(report, "t\r\n"));
    WriteList("ReportType\tfilename\tdCreate\r\nChange t\t" + report.toUtf8() + "\t01/01/2024\r\n");
    Tfrm_Main& w = Make();
    w.wwfilelist->selectAll();
    w.btn2->click();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_EQ(Dialogs.Messages[0].Caption, QStringLiteral("Burn"));
    EXPECT_TRUE(Dialogs.Messages[0].Text.contains(report));
}

} // namespace
