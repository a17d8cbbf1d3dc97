// Save, Save as, Open and Print from the window.

#include "gui_support.h"

#include "app/print_layout.h"
#include "fm/cp1250.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QTableView>
#include <QTextEdit>

#include <map>

#include <sys/stat.h>

using namespace gui;

namespace {

class FilesTest : public WindowFixture {
protected:
    QStringList ReportFiles(const char* Prefix) {
        return QDir(Bin(QStringLiteral("Txtfile"))).entryList({QLatin1String(Prefix) + "*.txt"});
    }
};

TEST_F(FilesTest, SaveAndSaveAsWithAnEmptyMemo) {
    struct Case {
        const char* Name;
        bool SaveAs;
        bool FileExpected;
    };
    for (const Case c : {Case{"Save", false, true}, Case{"Save as", true, false}}) {
        SCOPED_TRACE(c.Name);
        Tfrm_Main& w = Make();
        const QString target = PathIn(QStringLiteral("memo-%1.txt").arg(c.SaveAs));
        Dialogs.SaveAnswers = {target};
        if (c.SaveAs)
            w.MenuItem1->trigger();
        else
            w.Button1->click();
        EXPECT_EQ(QFileInfo::exists(target), c.FileExpected);
        if (c.FileExpected) {
            EXPECT_EQ(ReadAll(target), QByteArray());
        }
        ASSERT_FALSE(Dialogs.SaveRequests.isEmpty());
        EXPECT_EQ(Dialogs.SaveRequests.last().Filters, QStringList{"*.Txt file(*.txt)"});
        EXPECT_EQ(Dialogs.SaveRequests.last().DefaultSuffix, QStringLiteral("txt"));
        Destroy();
    }
}

TEST_F(FilesTest, SaveWritesTheMemoAsTheDevicesBytesWithCrLf) {
    Tfrm_Main& w = Make();
    w.Memo1->setPlainText(QStringLiteral("Za\u017c\u00f3\u0142\u0107\n\nGRAND TOTAL"));
    const QString target = PathIn(QStringLiteral("saved.txt"));
    Dialogs.SaveAnswers = {target};
    w.MenuItem1->trigger();
    EXPECT_EQ(ReadAll(target), QByteArray("Za\xbf\xf3\xb3\xe6\r\n\r\nGRAND TOTAL\r\n"));
    // Cancelled dialog: nothing written.
    w.Button1->click();
    EXPECT_EQ(ReadAll(target), QByteArray("Za\xbf\xf3\xb3\xe6\r\n\r\nGRAND TOTAL\r\n"));
}

TEST_F(FilesTest, OpenDecodesByTheSelectedReportType) {
    struct Case {
        const char* Name;
        int ReportType;
        const char* Sample;
        const char* Prefix;
        const char* ListType;
        const char* MemoHolds;
    };
    const Case cases[] = {
        {"Detail", 0, "samples/detail-pelta.hex", "Detail", "Detail", "SPRZEDA\u017b OPODATK. A"},
        // Opened as Summary even though the file holds a Detail upload.
        {"Detail file as Summary", 1, "samples/detail-pelta.hex", "Summary", "Summary",
         "SPRZEDA\u017b OPODATK. A"},
        {"tax rate", 2, "samples/changes-joined.hex", "Tax", "Change t", "PTU A"},
        {"RAM clearing", 4, "samples/changes-joined.hex", "Ram", "RAM Clea", "ZEROWANIE RAM Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Tfrm_Main& w = Make();
        w.ComboBox2->setCurrentIndex(c.ReportType);
        w.cb_qrytype->setCurrentIndex(2);
        const QString sample = SourcePath(c.Sample);
        Dialogs.OpenRequests.clear();
        Dialogs.OpenAnswers = {sample};
        w.Button2->click();
        ASSERT_EQ(Dialogs.OpenRequests.size(), 1);
        EXPECT_EQ(Dialogs.OpenRequests[0].Filters, QStringList{"*.Hex file(*.hex)"});
        const QStringList reports = ReportFiles(c.Prefix);
        ASSERT_EQ(reports.size(), 1);
        const QString report = Bin(QStringLiteral("Txtfile/")) + reports[0];
        ASSERT_EQ(w.dxlist.Count(), 1);
        EXPECT_EQ(w.dxlist.At(0).filename, report);
        EXPECT_EQ(w.dxlist.At(0).ReportType, QLatin1String(c.ListType));
        // The memo shows the report decoded, while the file keeps the device's bytes.
        EXPECT_TRUE(w.Memo1->toPlainText().contains(QString::fromUtf8(c.MemoHolds)))
            << w.Memo1->toPlainText().left(400).toStdString();
        QByteArray expected = ReadAll(report);
        EXPECT_EQ(UnicodeToCp1250(w.MemoLines().join(QStringLiteral("\r\n"))) + "\r\n", expected);
        EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.MessageTexts().join('|').toStdString();
        if (c.ReportType <= 1) {
            EXPECT_EQ(w.lb_file->text(), sample);
        }
        EXPECT_FALSE(w.FDecodeFailed);
        Destroy();
        QDir(Bin(QStringLiteral("Txtfile"))).removeRecursively();
        QFile::remove(Bin(QStringLiteral("Data/FMList.txt")));
    }
}

TEST_F(FilesTest, OpenFailuresAreToldAndMarkTheDecodeAsFailed) {
    struct Case {
        const char* Name;
        int ReportType;
        QString File;
        QString Message;
        QString Caption;
    };
    const Case cases[] = {
        {"missing Detail file", 0, PathIn("none.hex"), "file not exists", "warning"},
        {"missing tax file", 2, PathIn("none.hex"), "file not exists", "warning"},
        // A folder exists but cannot be read as an upload.
        {"unreadable Detail upload", 0, PathIn("bin"), "Please choose the right machine!", ""},
        {"unreadable tax upload", 2, PathIn("bin"), "data error", "warning"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Tfrm_Main& w = Make();
        Dialogs.Messages.clear();
        w.ComboBox2->setCurrentIndex(c.ReportType);
        w.cb_qrytype->setCurrentIndex(2);
        Dialogs.OpenAnswers = {c.File};
        w.Button2->click();
        ASSERT_EQ(Dialogs.Messages.size(), 1);
        EXPECT_EQ(Dialogs.Messages[0].Text, c.Message);
        EXPECT_EQ(Dialogs.Messages[0].Caption, c.Caption);
        EXPECT_TRUE(w.FDecodeFailed);
        EXPECT_TRUE(w.dxlist.IsEmpty());
        Destroy();
    }
}

// A file that cannot be written is named with the system's reason; nothing waits on a pipe and
// no machine is blamed.
TEST_F(FilesTest, FileWriteFailuresNameTheFileAndTheReason) {
    Tfrm_Main& w = Make();
    // The memo saved onto a named pipe: opening it would wait for a reader for ever.
    const QString fifo = PathIn(QStringLiteral("memo.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    w.Memo1->setPlainText(QStringLiteral("GRAND TOTAL"));
    Dialogs.SaveAnswers = {fifo};
    w.Button1->click();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_EQ(
        Dialogs.Messages[0].Text,
        QStringLiteral("Cannot create file \"%1\". is a named pipe (FIFO), not a regular file")
            .arg(fifo));
    EXPECT_FALSE(QFileInfo(fifo).isFile());

    // The report folder is taken by a file: the Detail report cannot be written.
    Dialogs.Messages.clear();
    ASSERT_TRUE(QDir(Bin(QStringLiteral("Txtfile"))).removeRecursively());
    ASSERT_TRUE(WriteAll(Bin(QStringLiteral("Txtfile")), "not a folder"));
    w.ComboBox2->setCurrentIndex(0);
    w.cb_qrytype->setCurrentIndex(2);
    Dialogs.OpenAnswers = {SourcePath("samples/detail-pelta.hex")};
    w.Button2->click();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    const QString text = Dialogs.Messages[0].Text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Cannot write %1/Detail").arg(Bin("Txtfile"))))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral(": ") + qt_error_string(ENOTDIR)))
        << text.toStdString();
    EXPECT_TRUE(w.FDecodeFailed);
    EXPECT_TRUE(w.dxlist.IsEmpty());
}

// --- Print ---------------------------------------------------------------------------------

struct PdfWord {
    int Page = 0;
    double X = 0;
    double Y = 0;
    QString Text;
};

struct PdfText {
    bool Ok = false;
    int Pages = 0;
    QList<PdfWord> Words;
};

// Word boxes from poppler's pdftotext -bbox (points, origin top left).
PdfText ReadPdf(const QString& Path) {
    PdfText out;
    QProcess p;
    p.start(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), Path, QStringLiteral("-")});
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return out;
    const QString html = QString::fromUtf8(p.readAllStandardOutput());
    static const QRegularExpression tag(
        QStringLiteral("<page |<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\"[^>]*>([^<]*)</word>"));
    auto it = tag.globalMatch(html);
    while (it.hasNext()) {
        const auto m = it.next();
        if (m.captured(0) == QStringLiteral("<page ")) {
            ++out.Pages;
            continue;
        }
        out.Words.append(
            {out.Pages - 1, m.captured(1).toDouble(), m.captured(2).toDouble(), m.captured(3)});
    }
    out.Ok = true;
    return out;
}

// The number of pages from the PDF's own page objects.
int PdfPageCount(const QByteArray& Pdf) {
    static const QRegularExpression page(QStringLiteral("/Type\\s*/Page[^s]"));
    return int(QString::fromLatin1(Pdf).count(page));
}

TEST_F(FilesTest, LongMemoPrintsInThreeColumnsPerPageAndGoesOnOnTheNextPage) {
    Tfrm_Main& w = Make();
    w.Button6Click(); // 1101 numbered lines
    const QStringList lines = w.MemoLines();
    ASSERT_EQ(lines.size(), 1101);
    Dialogs.PdfFile = PathIn(QStringLiteral("memo.pdf"));
    w.btn3->click();
    ASSERT_EQ(Dialogs.PrintDialogs, 1);

    const PdfText pdf = ReadPdf(Dialogs.PdfFile);
    ASSERT_TRUE(pdf.Ok) << "pdftotext (poppler-utils, scripts/setup) is needed";
    EXPECT_EQ(PdfPageCount(ReadAll(Dialogs.PdfFile)), pdf.Pages);

    // Every line printed once, whole and in order.
    QStringList printed;
    for (const PdfWord& word : pdf.Words)
        printed << word.Text;
    EXPECT_EQ(printed, lines);

    // Columns: the distinct left edges on each page, and how many lines each column holds.
    std::map<int, std::map<long, int>> columns; // page -> x (0.1 pt) -> lines
    for (const PdfWord& word : pdf.Words)
        ++columns[word.Page][std::lround(word.X * 10)];
    ASSERT_GE(pdf.Pages, 2);
    for (int page = 0; page + 1 < pdf.Pages; ++page)
        EXPECT_EQ(columns[page].size(), 3u) << "page " << page; // full pages: three columns
    // Equal column steps, a third of the page width plus the margin.
    const auto& first = columns[0];
    std::vector<double> xs;
    for (const auto& [x, n] : first)
        xs.push_back(x / 10.0);
    ASSERT_EQ(xs.size(), 3u);
    EXPECT_NEAR(xs[1] - xs[0], xs[2] - xs[1], 0.5);
    // The very first line of the job sits one line below the top margin, so a column that
    // starts at the margin holds one line more than the first column of the job.
    const int perColumn = first.begin()->second;
    ASSERT_GE(pdf.Pages, 3);
    for (const auto& [x, n] : columns[1])
        EXPECT_EQ(n, perColumn + 1) << "page 1, column at " << x / 10.0;
    // The next page starts again at the top left margin: same left edge as the first column,
    // and (unlike the very first line of the job) at the margin itself.
    const PdfWord* firstOfPage1 = nullptr;
    const PdfWord* secondOfPage0 = nullptr;
    int seen0 = 0;
    for (const PdfWord& word : pdf.Words) {
        if (word.Page == 0 && ++seen0 == 2)
            secondOfPage0 = &word;
        if (word.Page == 1 && !firstOfPage1)
            firstOfPage1 = &word;
    }
    ASSERT_TRUE(firstOfPage1 && secondOfPage0);
    EXPECT_NEAR(firstOfPage1->X, pdf.Words[0].X, 0.5);
    EXPECT_LT(firstOfPage1->Y, pdf.Words[0].Y);
    const double lineStep = secondOfPage0->Y - pdf.Words[0].Y;
    EXPECT_NEAR(pdf.Words[0].Y - firstOfPage1->Y, lineStep, 0.5);
}

TEST_F(FilesTest, EmptyMemoPrintsOneBlankPageAndCancelPrintsNothing) {
    Tfrm_Main& w = Make();
    Dialogs.PdfFile = PathIn(QStringLiteral("cancelled.pdf"));
    Dialogs.AcceptPrint = false;
    w.btn3->click();
    EXPECT_FALSE(QFileInfo::exists(Dialogs.PdfFile));

    Dialogs.AcceptPrint = true;
    Dialogs.PdfFile = PathIn(QStringLiteral("empty.pdf"));
    w.btn3->click();
    const PdfText pdf = ReadPdf(Dialogs.PdfFile);
    ASSERT_TRUE(pdf.Ok);
    EXPECT_EQ(pdf.Pages, 1);
    EXPECT_TRUE(pdf.Words.isEmpty());
}

// The layout itself, on an exact page size.
TEST(PrintLayoutTest, ColumnsPagesAndClipEdges) {
    // Page 1000 x 400, three columns: step 1000 / 3 + 40 = 373; lines 20 high.
    const QList<int> heights(40, 20);
    const PrintLayout layout = LayOutPrint(1000, 400, 3, heights);
    EXPECT_EQ(layout.ColumnStep, 373);
    // The first line sits one line below the top margin; a line fits while h + top + 80 < H.
    EXPECT_EQ(layout.Lines[0].Box.topLeft(), QPoint(40, 65));
    // Lines at 65, 90, ..., 290 (11 lines: 20 + 290 + 80 = 390 < 400 still fits the next top);
    struct Case {
        int Line;
        int Page;
        QPoint TopLeft;
    };
    const Case cases[] = {
        {0, 0, {40, 65}},   {10, 0, {40, 315}}, {11, 0, {413, 40}}, {12, 0, {413, 65}},
        {23, 0, {786, 40}}, {35, 1, {40, 40}},  {36, 1, {40, 65}},  {39, 1, {40, 140}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(layout.Lines[c.Line].Page, c.Page) << c.Line;
        EXPECT_EQ(layout.Lines[c.Line].Box.topLeft(), c.TopLeft) << c.Line;
    }
    EXPECT_EQ(layout.Pages, 2);
    // Every column, the second and third included, is clipped a full step from its left edge.
    for (const PrintedLine& line : layout.Lines) {
        EXPECT_EQ(line.Box.width(), 373);
        EXPECT_EQ(line.Box.bottom(), 399);
    }
    ASSERT_EQ(layout.Columns.size(), 4);
    EXPECT_EQ(layout.Columns[3].Page, 1);

    // An empty memo is one empty line on one page; four columns fit when asked for four.
    EXPECT_EQ(LayOutPrint(1000, 400, 3, {20}).Pages, 1);
    const PrintLayout four = LayOutPrint(1000, 400, 4, QList<int>(47, 20));
    EXPECT_EQ(four.Pages, 1);
    EXPECT_EQ(four.Lines.last().Box.left(), 40 + 3 * 290);
}

} // namespace

namespace {

// The desktop's own save dialog: a name typed without extension takes the extension of the
// filter shown, so an upload saved under "HEX files" is a .hex file.
TEST(QtDialogsTest, SaveDialogCompletesTheNameFromTheSelectedFilter) {
    App();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        int Filter;
        const char* Typed;
        const char* Expected;
    };
    const Case cases[] = {
        {1, "upload", "upload.hex"},
        {0, "report", "report.txt"},
        {1, "named.bin", "named.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Typed);
        QtDialogs dialogs;
        FileDialogRequest request;
        request.Filters = {QStringLiteral("Text files(*.txt)"), QStringLiteral("HEX files(*.hex)")};
        request.SelectedFilter = c.Filter;
        request.DefaultSuffix = QStringLiteral("txt");
        request.Directory = dir.path();
        bool answered = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            answered = true;
            dialog->selectFile(QLatin1String(c.Typed));
            QMetaObject::invokeMethod(dialog, "accept");
        });
        const QString chosen = dialogs.SaveFileName(nullptr, request);
        ASSERT_TRUE(answered);
        EXPECT_EQ(chosen, QDir(dir.path()).filePath(QLatin1String(c.Expected)));
    }
}

} // namespace

namespace {

TEST_F(FilesTest, HiddenTaxButtonDecodesTheFileLastOpened) {
    Tfrm_Main& w = Make();
    w.cb_qrytype->setCurrentIndex(2);
    // Opened as a Detail report first (the selected type), then decoded as tax-rate changes.
    Dialogs.OpenAnswers = {SourcePath("samples/changes-joined.hex")};
    w.Button2->click();
    EXPECT_EQ(w.FLastOpenedFile, SourcePath("samples/changes-joined.hex"));
    Dialogs.Messages.clear();
    w.btn5->click();
    EXPECT_EQ(ReportFiles("Tax").size(), 1);
    EXPECT_TRUE(w.Memo1->toPlainText().contains(QStringLiteral("PTU A")));
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.MessageTexts().join('|').toStdString();
}

TEST_F(FilesTest, HeaderSectionsFollowTheSplitter) {
    Tfrm_Main& w = Make();
    w.sp->setSizes({200, 669});
    w.spMoved();
    EXPECT_EQ(w.head->sectionSize(0), w.wwfilelist->width());
    EXPECT_EQ(w.head->sectionSize(0), 200);
    EXPECT_EQ(w.head->sectionSize(1), w.frameGeometry().width() - 200);
}

} // namespace
