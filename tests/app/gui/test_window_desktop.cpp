// What the window does as a desktop program: it keeps the operator's choices between runs,
// resizes with its memo and list taking the room, gives every caption the width it needs,
// and opens inside the screen. The message boxes of the real dialogs carry a fitting icon
// and a readable title.

#include "gui_support.h"

#include "app/window_placement.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTableView>
#include <QTextEdit>
#include <QTimer>

using namespace gui;

namespace {

class DesktopTest : public WindowFixture {};

TEST_F(DesktopTest, ChoicesAndFoldersAreKeptBetweenRuns) {
    {
        Tfrm_Main& w = Make();
        EXPECT_FALSE(QFileInfo::exists(SettingsPath())); // a first start writes nothing
        w.ComboBox2->setCurrentIndex(3);
        w.cb_qrytype->setCurrentIndex(1);
        w.ed_From->setText(QStringLiteral("240101"));
        w.ed_To->setText(QStringLiteral("240131"));
        w.cb_com->setCurrentIndex(3);
        w.resize(1000, 700);
        // Each file dialog remembers its own folder.
        Dialogs.OpenAnswers = {PathIn(QStringLiteral("uploads/old.hex"))};
        w.Button2->click();
        Dialogs.SaveAnswers = {PathIn(QStringLiteral("texts/memo.txt"))};
        w.Button1->click();
        w.close();
        Destroy();
    }
    Dialogs.Messages.clear();
    Tfrm_Main& w = Make();
    EXPECT_EQ(w.ComboBox2->currentIndex(), 3);
    EXPECT_EQ(w.cb_qrytype->currentIndex(), 1);
    EXPECT_EQ(w.ed_From->maxLength(), 6);
    EXPECT_EQ(w.ed_From->text(), QStringLiteral("240101"));
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("240131"));
    EXPECT_EQ(w.cb_com->currentText(), QStringLiteral("COM4"));
    EXPECT_EQ(w.size(), QSize(1000, 700));

    struct Case {
        const char* Name;
        std::function<void()> Open;
        std::function<const FileDialogRequest&()> Asked;
        QString Folder;
    };
    const Case cases[] = {
        {"Open", [&] { w.Button2->click(); }, [&]() -> auto& {return Dialogs.OpenRequests.last();
}
, PathIn(QStringLiteral("uploads"))
} // namespace
, {"Save", [&] { w.Button1->click(); }, [&]() -> auto& {return Dialogs.SaveRequests.last();
}
, PathIn(QStringLiteral("texts"))
}
, {"Save as", [&] { w.MenuItem1Click(); }, [&]() -> auto& {return Dialogs.SaveRequests.last();
}
, PathIn(QStringLiteral("texts"))
}
,
    // The upload's dialog was not used yet: it opens where the desktop chooses.
    {"upload", [&] { w.btnUpload->click(); }, [&]() -> auto& {return Dialogs.SaveRequests.last();
}
, QString()
}
,
}
;
for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Open();
    EXPECT_EQ(c.Asked().Directory, c.Folder);
}
}

TEST_F(DesktopTest, RememberedValuesThatNoLongerFitAreNotForced) {
    {
        QSettings s(SettingsPath(), QSettings::IniFormat);
        s.setValue(QStringLiteral("upload/reportType"), 9);
        s.setValue(QStringLiteral("upload/queryType"), 0);
        s.setValue(QStringLiteral("upload/from"), QStringLiteral("12a345"));
        s.setValue(QStringLiteral("upload/port"), QStringLiteral("/dev/pts/99"));
    }
    // A port named on the command line wins over the remembered one.
    Tfrm_Main& w = Make(QStringLiteral("/dev/pts/7"));
    EXPECT_EQ(w.ComboBox2->currentIndex(), 0);
    EXPECT_EQ(w.ed_From->text(), QStringLiteral("1234")); // digits only, four for Z numbers
    EXPECT_EQ(w.cb_com->currentText(), QStringLiteral("/dev/pts/7"));
    Destroy();
    // A remembered port that is gone leaves the first one selected.
    Tfrm_Main& again = Make();
    EXPECT_EQ(again.cb_com->currentIndex(), 0);
}

TEST_F(DesktopTest, TheMemoAndTheListTakeTheRoomAndTheRowsKeepTheirOrder) {
    Tfrm_Main& w = Make();
    EXPECT_LT(w.minimumSizeHint().height(), 500);
    const int memo = w.Memo1->width();
    const int listHeight = w.wwfilelist->height();
    w.resize(1400, 1000);
    EXPECT_EQ(w.size(), QSize(1400, 1000));
    EXPECT_GE(w.Memo1->width(), memo + 500);
    EXPECT_GE(w.wwfilelist->height(), listHeight + 200);
    EXPECT_EQ(w.head->sectionSize(0), w.wwfilelist->width());
    const QList<QWidget*> row1{w.lbl2,      w.ComboBox2, w.Label3,  w.cb_qrytype,
                               w.lb_from,   w.ed_From,   w.lb_to,   w.ed_To,
                               w.btnUpload, w.btnClose,  w.Button1, w.Button2};
    const QList<QWidget*> row2{w.RadioGroup1, w.Label1, w.Edit1, w.Label2,
                               w.cb_com,      w.btn4,   w.btn3,  w.btn2};
    for (const QList<QWidget*>& row : {row1, row2}) {
        for (qsizetype i = 1; i < row.size(); ++i) {
            const QPoint left = row[i - 1]->mapTo(&w, QPoint(row[i - 1]->width(), 0));
            const QPoint right = row[i]->mapTo(&w, QPoint(0, 0));
            EXPECT_LE(left.x(), right.x()) << row[i]->objectName().toStdString();
        }
    }
    EXPECT_LT(w.btnUpload->mapTo(&w, QPoint(0, 0)).y(), w.btn4->mapTo(&w, QPoint(0, 0)).y());
    EXPECT_EQ(w.btnCancel->geometry(), w.btnUpload->geometry());
}

TEST_F(DesktopTest, EveryCaptionHasTheWidthItNeedsAlsoWithLongerTranslations) {
    const QByteArray polish =
        "[seting]\r\ns1=Rodzaj raportu\r\ns2=Szczeg\xf3\xb3owy\r\ns3=Podsumowanie\r\n"
        "s28=Zmiana stawek podatku\r\ns29=Zmiana waluty ewidencyjnej\r\n"
        "s291=Zerowanie pami\xea"
        "ci RAM\r\ns4=Rodzaj zakresu\r\ns5=wed\xb3ug numeru Z\r\n"
        "s6=wed\xb3ug daty (rrmmdd)\r\ns61=ca\xb3"
        "a pami\xea\xe6\r\ns7=Od\r\ns8=Do\r\n"
        "s9=Pobierz dane\r\ns10=Zamknij\r\ns292=Otw\xf3rz\r\ns18=Usu\xf1\r\ns19=Drukuj\r\n"
        "s20=Nagraj\r\ns21=Anuluj\r\ns27=Adres IP\r\n";
    for (const std::optional<QByteArray>& file :
         {std::optional<QByteArray>(), std::optional(polish)}) {
        SCOPED_TRACE(file ? "Polish language file" : "no language file");
        QFile::remove(LanguagePath());
        if (file) {
            ASSERT_TRUE(WriteAll(LanguagePath(), *file));
        }
        Tfrm_Main& w = Make();
        QCoreApplication::processEvents(); // the layout follows the new captions
        for (QLabel* label : {w.lbl2, w.Label3, w.lb_from, w.lb_to, w.Label1, w.Label2})
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        for (QComboBox* box : {w.ComboBox2, w.cb_qrytype}) {
            int widest = 0;
            for (int i = 0; i < box->count(); ++i)
                widest = std::max(widest, box->fontMetrics().horizontalAdvance(box->itemText(i)));
            EXPECT_GE(box->width(), widest + 20) << box->objectName().toStdString();
            EXPECT_GE(box->width(), box->minimumSizeHint().width());
        }
        for (QPushButton* b :
             {w.btnUpload, w.btnClose, w.Button1, w.Button2, w.btn4, w.btn3, w.btn2})
            EXPECT_GE(b->width(), b->fontMetrics().horizontalAdvance(b->text()) + 8)
                << b->text().toStdString();
        if (!file) {
            EXPECT_EQ(w.size(), QSize(875, 795)); // the design size, where it fits
        }
        Destroy();
    }
}

TEST(WindowPlacement, DesignSizeWhereItFitsOtherwiseAsLargeAsFitsWithTheTitleBarOnScreen) {
    const QSize design(875, 795);
    const QSize minimum(850, 200);
    const QMargins frame(1, 20, 1, 5);
    struct Case {
        const char* Name;
        QRect Available;
        QRect Expected; // client area
    };
    const Case cases[] = {
        {"desktop screen: design size, centred", QRect(0, 0, 1920, 1080),
         QRect(522, 150, 875, 795)},
        {"1366x768 laptop: the whole height", QRect(0, 0, 1366, 768), QRect(245, 20, 875, 743)},
        {"panel at the top", QRect(0, 32, 1366, 736), QRect(245, 52, 875, 711)},
        {"second screen to the right", QRect(1920, 0, 1280, 1024),
         QRect(1920 + 202, 122, 875, 795)},
        {"narrower than the minimum: left edge and title bar stay on screen", QRect(0, 0, 800, 600),
         QRect(1, 20, 850, 575)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const QRect got = FitWindowToScreen(c.Available, frame, design, minimum);
        EXPECT_EQ(got, c.Expected)
            << got.x() << "," << got.y() << " " << got.width() << "x" << got.height();
        EXPECT_GE(got.top() - frame.top(), c.Available.top());
    }
}

TEST_F(DesktopTest, MessageBoxesCarryAFittingIconAndARoomyTitle) {
    QtDialogs dialogs;
    struct Case {
        MessageIcon Icon;
        QMessageBox::Icon Shown;
        const char* Text;
        const char* Caption;
    };
    const Case cases[] = {
        {MessageIcon::Information, QMessageBox::Information, "Finish", "OrvexFM"},
        {MessageIcon::Warning, QMessageBox::Warning, "Data Error", "warning"},
        {MessageIcon::Critical, QMessageBox::Critical, "OK",
         "Odczyt pami\u0119ci fiskalnej - b\u0142\u0105d zapisu pliku raportu"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        QMessageBox::Icon shown = QMessageBox::NoIcon;
        int width = 0;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            shown = box->icon();
            width = box->width();
            box->accept();
        });
        poll.start(10);
        dialogs.ShowMessage(nullptr, QString::fromUtf8(c.Text), QString::fromUtf8(c.Caption),
                            c.Icon);
        EXPECT_EQ(shown, c.Shown);
        const int title =
            QFontMetrics(QApplication::font()).horizontalAdvance(QString::fromUtf8(c.Caption));
        EXPECT_GE(width, std::max(300, title + 100));
    }
}

} // namespace
