// Start-up, the selectors and their handlers, the key filter and the language file, driven
// as an operator would.

#include "gui_support.h"

#include "app/com_ports.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTextEdit>

using namespace gui;

namespace {

class StartupTest : public WindowFixture {};

TEST_F(StartupTest, FirstStartMakesTheWorkingFoldersAndShowsTheDesignDefaults) {
    Tfrm_Main& w = Make();
    for (const char* folder : {"Data", "Dufile", "Txtfile"})
        EXPECT_TRUE(QFileInfo(Bin(QLatin1String(folder))).isDir()) << folder;
    EXPECT_EQ(w.FDataDir, Bin(QStringLiteral("Data/")));
    EXPECT_EQ(w.FDufileDir, Bin(QStringLiteral("Dufile/")));
    EXPECT_EQ(w.FTxtfileDir, Bin(QStringLiteral("Txtfile/")));
    EXPECT_TRUE(w.dxlist.IsEmpty());
    EXPECT_TRUE(w.lb_file->text().isEmpty());
    EXPECT_FALSE(w.FDecodeFailed);
    EXPECT_EQ(w.FPrintColumns, 3);
    EXPECT_TRUE(Dialogs.Messages.isEmpty());

    EXPECT_EQ(w.windowTitle(), QStringLiteral("OrvexFM"));
    EXPECT_EQ(w.size(), QSize(875, 795));
    EXPECT_EQ(w.ComboBox2->currentText(), QStringLiteral("Detail"));
    EXPECT_EQ(w.ComboBox2->count(), 5);
    EXPECT_EQ(w.cb_qrytype->currentText(), QStringLiteral("by Z count"));
    EXPECT_EQ(w.ComboBox3->currentIndex(), 1);
    EXPECT_EQ(w.ed_From->maxLength(), 4);
    EXPECT_EQ(w.Button1->text(), QStringLiteral("Save"));
    QStringList ports;
    for (int i = 0; i < w.cb_com->count(); ++i)
        ports << w.cb_com->itemText(i);
    EXPECT_EQ(ports, (QStringList{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"}));

    // Hidden controls stay hidden; Cancel waits in Upload's place.
    for (QWidget* hidden : {static_cast<QWidget*>(w.btnCancel), static_cast<QWidget*>(w.ComboBox3),
                            static_cast<QWidget*>(w.lbl3), static_cast<QWidget*>(w.pgbar),
                            static_cast<QWidget*>(w.btn5), static_cast<QWidget*>(w.Button6)})
        EXPECT_TRUE(hidden->isHidden()) << hidden->objectName().toStdString();
    EXPECT_EQ(w.btnCancel->geometry(), w.btnUpload->geometry());
    // The COM/UDP choice is not offered with the default machine.
    EXPECT_FALSE(w.RadioGroup1->isEnabled());
    EXPECT_EQ(w.RadioGroupIndex(), 0);
    EXPECT_FALSE(w.Edit1->isEnabled());
    EXPECT_TRUE(w.cb_com->isEnabled());
    // Every control is found under its design name.
    for (const char* name :
         {"lbl2",    "ComboBox2",   "Label3",    "cb_qrytype", "lb_from",    "ed_From",
          "lb_to",   "ed_To",       "btnUpload", "btnCancel",  "btnClose",   "Button1",
          "Button2", "RadioGroup1", "Label1",    "Edit1",      "Label2",     "cb_com",
          "btn4",    "btn3",        "btn2",      "head",       "wwfilelist", "Memo1",
          "lb_file", "pgbar",       "lbl3",      "ComboBox3",  "StringGrid1"})
        EXPECT_NE(w.findChild<QWidget*>(QLatin1String(name)), nullptr) << name;
    // The header's first section follows the list grid.
    EXPECT_EQ(w.head->sectionSize(0), w.wwfilelist->width());
}

TEST_F(StartupTest, AFolderThatCannotBeMadeIsReportedAndStartUpGoesOn) {
    // "bin/Data" exists as a plain file, so the folder cannot be made.
    ASSERT_TRUE(QDir().mkpath(Bin()));
    ASSERT_TRUE(WriteAll(Bin(QStringLiteral("Data")), "not a folder"));
    Tfrm_Main& w = Make();
    ASSERT_EQ(Dialogs.Messages.size(), 1);
    EXPECT_TRUE(Dialogs.Messages[0].Text.contains(QStringLiteral("Data")));
    EXPECT_TRUE(QFileInfo(Bin(QStringLiteral("Txtfile"))).isDir());
    EXPECT_TRUE(w.isVisible());
}

TEST_F(StartupTest, RangeFieldsFollowTheRangeKind) {
    Tfrm_Main& w = Make();
    // Six date digits, then back to Z numbers: the field is emptied, not cut.
    w.cb_qrytype->setCurrentIndex(1);
    EXPECT_EQ(w.ed_From->maxLength(), 6);
    QTest::keyClicks(w.ed_From, QStringLiteral("240131"));
    QTest::keyClicks(w.ed_To, QStringLiteral("2402"));
    EXPECT_EQ(w.ed_From->text(), QStringLiteral("240131"));
    w.cb_qrytype->setCurrentIndex(0);
    EXPECT_EQ(w.ed_From->text(), QString());
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("2402")); // four characters stay
    EXPECT_EQ(w.ed_From->maxLength(), 4);
    w.cb_qrytype->setCurrentIndex(1);
    EXPECT_EQ(w.ed_From->text(), QString()); // not restored

    // "whole FM" hides both fields and their labels; the other kinds show them.
    struct Case {
        int Kind;
        bool Shown;
    };
    for (const Case c : {Case{2, false}, Case{0, true}, Case{2, false}, Case{1, true}}) {
        w.cb_qrytype->setCurrentIndex(c.Kind);
        for (QWidget* field : {static_cast<QWidget*>(w.ed_From), static_cast<QWidget*>(w.ed_To),
                               static_cast<QWidget*>(w.lb_from), static_cast<QWidget*>(w.lb_to)})
            EXPECT_EQ(field->isVisible(), c.Shown)
                << field->objectName().toStdString() << " kind " << c.Kind;
    }
}

TEST_F(StartupTest, KeyFilterLetsOnlyDigitsAndBackspaceThrough) {
    Tfrm_Main& w = Make();
    w.activateWindow();
    struct Case {
        const char* Typed;
        const char* Expected;
    };
    const Case cases[] = {
        {"12ab3", "123"}, {"x-+ .,", ""}, {"0987", "0987"}, {"12345", "1234"}, // max 4
    };
    for (const Case& c : cases) {
        w.ed_From->clear();
        QTest::keyClicks(w.ed_From, QLatin1String(c.Typed));
        EXPECT_EQ(w.ed_From->text(), QLatin1String(c.Expected)) << c.Typed;
    }
    // Backspace still deletes, and editing keys that type nothing keep working.
    w.ed_To->clear();
    QTest::keyClicks(w.ed_To, QStringLiteral("567"));
    QTest::keyClick(w.ed_To, Qt::Key_Backspace);
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("56"));
    QTest::keyClick(w.ed_To, Qt::Key_Home);
    QTest::keyClick(w.ed_To, Qt::Key_Delete);
    EXPECT_EQ(w.ed_To->text(), QStringLiteral("6"));
    for (QChar c : QStringLiteral("09\b"))
        EXPECT_TRUE(Tfrm_Main::DigitKeyFilter(c));
    for (QChar c : QStringLiteral("a/:\r \x16"))
        EXPECT_FALSE(Tfrm_Main::DigitKeyFilter(c));
}

TEST_F(StartupTest, MachineSelectorOffersTheComUdpChoice) {
    Tfrm_Main& w = Make();
    QTest::keyClicks(w.ed_From, QStringLiteral("1"));
    w.Memo1->setPlainText(QStringLiteral("old text"));
    struct Case {
        int Machine;
        bool GroupEnabled;
        int Radio;
        TMode Mode;
    };
    for (const Case c :
         {Case{0, false, 0, tmRS232}, Case{1, true, 1, tmTCPIP}, Case{2, false, 0, tmRS232}}) {
        w.Memo1->setPlainText(QStringLiteral("old text"));
        w.ComboBox3->setCurrentIndex(c.Machine);
        w.ComboBox3Change();
        EXPECT_TRUE(w.Memo1->toPlainText().isEmpty()) << c.Machine;
        EXPECT_EQ(w.RadioGroup1->isEnabled(), c.GroupEnabled) << c.Machine;
        EXPECT_EQ(w.RadioGroupIndex(), c.Radio) << c.Machine;
        EXPECT_EQ(w.PortManager().Mode(), c.Mode) << c.Machine;
        EXPECT_EQ(w.Edit1->isEnabled(), c.Radio == 1) << c.Machine;
        EXPECT_EQ(w.cb_com->isEnabled(), c.Radio == 0) << c.Machine;
    }
    // The operator's choice in the enabled group sets the mode, however the button got
    // checked (a click, or the arrow keys, which check it without a click).
    w.ComboBox3->setCurrentIndex(1);
    w.ComboBox3Change();
    w.RadioCom->click();
    EXPECT_EQ(w.PortManager().Mode(), tmRS232);
    w.RadioUdp->click();
    EXPECT_EQ(w.PortManager().Mode(), tmTCPIP);
    w.RadioCom->setChecked(true);
    EXPECT_EQ(w.PortManager().Mode(), tmRS232);
    EXPECT_FALSE(w.Edit1->isEnabled());
    w.RadioUdp->click();
    ASSERT_EQ(w.PortManager().Mode(), tmTCPIP);
    // Showing the window again puts the default machine and "COM" back, and the link's mode
    // with them.
    w.hide();
    w.show();
    EXPECT_EQ(w.ComboBox3->currentIndex(), 1);
    EXPECT_EQ(w.RadioGroupIndex(), 0);
    EXPECT_EQ(w.PortManager().Mode(), tmRS232);
    EXPECT_TRUE(w.cb_com->isEnabled());
    EXPECT_FALSE(w.Edit1->isEnabled());
}

TEST(ComPortsTest, DesignPortsThenSystemPortsThenTheNamedPort) {
    struct Case {
        QStringList System;
        QString Extra;
        QStringList Expected;
    };
    const QStringList design{"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
    const Case cases[] = {
        {{}, {}, design},
        {{"ttyUSB0", "ttyACM1"}, {}, design + QStringList{"ttyUSB0", "ttyACM1"}},
        // ttyS0..ttyS5 are COM1..COM6 already; ttyS6 is new.
        {{"ttyS0", "ttyS5", "ttyS6"}, {}, design + QStringList{"ttyS6"}},
        {{"ttyUSB0"}, "/dev/pts/7", design + QStringList{"ttyUSB0", "/dev/pts/7"}},
        {{"ttyUSB0"}, "/dev/ttyUSB0", design + QStringList{"ttyUSB0"}},
        {{}, "com2", design},
    };
    for (const Case& c : cases) {
        const QStringList got = ComPortChoices(c.System, c.Extra);
        EXPECT_EQ(got, c.Expected) << got.join(',').toStdString();
    }
    const QStringList choices = ComPortChoices({"ttyUSB0"}, {});
    EXPECT_EQ(ComPortIndex(choices, QStringLiteral("/dev/ttyS1")), 1);
    EXPECT_EQ(ComPortIndex(choices, QStringLiteral("/dev/ttyUSB0")), 6);
    EXPECT_EQ(ComPortIndex(choices, QStringLiteral("/dev/pts/3")), -1);
}

TEST_F(StartupTest, PortNamedOnTheCommandLineIsListedAndSelected) {
    Tfrm_Main& w = Make(QStringLiteral("/dev/pts/42"));
    EXPECT_EQ(w.cb_com->currentText(), QStringLiteral("/dev/pts/42"));
    EXPECT_EQ(w.cb_com->count(), 7);
}

// --- Language file -----------------------------------------------------------------------

struct CaptionSnapshot {
    QStringList Texts;
    static CaptionSnapshot Of(Tfrm_Main& w) {
        CaptionSnapshot s;
        auto* headModel = static_cast<QStandardItemModel*>(w.head->model());
        s.Texts << w.lbl2->text() << w.Label3->text() << w.Button2->text() << w.lb_from->text()
                << w.lb_to->text() << w.btnUpload->text() << w.btnClose->text() << w.lbl3->text()
                << w.windowTitle() << headModel->horizontalHeaderItem(0)->text()
                << headModel->horizontalHeaderItem(1)->text() << w.btn4->text() << w.btn3->text()
                << w.btn2->text() << w.btnCancel->text() << w.Label1->text();
        for (int i = 0; i < w.ComboBox2->count(); ++i)
            s.Texts << w.ComboBox2->itemText(i);
        for (int i = 0; i < w.cb_qrytype->count(); ++i)
            s.Texts << w.cb_qrytype->itemText(i);
        return s;
    }
};

TEST_F(StartupTest, LanguageFileCases) {
    struct Case {
        const char* Name;
        std::optional<QByteArray> File; // nullopt: no file
        const char* SaveCaption;
        std::function<void(Tfrm_Main&, const CaptionSnapshot&)> Check;
    };
    const Case cases[] = {
        {"missing file keeps every default", std::nullopt, "Save",
         [](Tfrm_Main& w, const CaptionSnapshot& s) {
             EXPECT_EQ(s.Texts.at(0), QStringLiteral("ReportType"));
             EXPECT_EQ(s.Texts.at(8), QStringLiteral("OrvexFM"));
             EXPECT_EQ(w.Messages, MessageTable());
         }},
        {"empty file empties every caption but Save", QByteArray(), "Zapisz",
         [](Tfrm_Main& w, const CaptionSnapshot& s) {
             for (const QString& t : s.Texts)
                 EXPECT_TRUE(t.isEmpty()) << t.toStdString();
             EXPECT_TRUE(w.Messages.MsgFinish.isEmpty());
             EXPECT_TRUE(w.Messages.MsgPortOpenFail.isEmpty());
             EXPECT_EQ(w.ComboBox2->currentIndex(), 0);
         }},
        {"section header only behaves as empty", QByteArray("[seting]\r\n"), "Zapisz",
         [](Tfrm_Main&, const CaptionSnapshot& s) {
             for (const QString& t : s.Texts)
                 EXPECT_TRUE(t.isEmpty()) << t.toStdString();
         }},
        {"s20 renames Burn; Save is Zapisz whatever the file says",
         QByteArray("[seting]\r\ns20=Nagraj\r\ns2 = \"Szczeg\xf3\xb3owy\" \r\ns292=Otw\xf3rz\r\n"
                    "s30=Koniec, gotowe\r\nSave=Save\r\n"),
         "Zapisz",
         [](Tfrm_Main& w, const CaptionSnapshot&) {
             EXPECT_EQ(w.btn2->text(), QStringLiteral("Nagraj"));
             // Windows-1250 text, quotes and blanks removed, commas kept.
             EXPECT_EQ(w.ComboBox2->itemText(0), QStringLiteral("Szczeg\u00f3\u0142owy"));
             EXPECT_EQ(w.Button2->text(), QStringLiteral("Otw\u00f3rz"));
             EXPECT_EQ(w.Messages.MsgFinish, QStringLiteral("Koniec, gotowe"));
             // The changed entries leave "Detail"'s place selected.
             EXPECT_EQ(w.ComboBox2->currentIndex(), 0);
             EXPECT_EQ(w.ComboBox2->currentText(), QStringLiteral("Szczeg\u00f3\u0142owy"));
             // Keys the file lacks are emptied.
             EXPECT_TRUE(w.btnUpload->text().isEmpty());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile::remove(LanguagePath());
        if (c.File) {
            ASSERT_TRUE(WriteAll(LanguagePath(), *c.File));
        }
        Tfrm_Main& w = Make();
        EXPECT_EQ(w.Button1->text(), QLatin1String(c.SaveCaption));
        c.Check(w, CaptionSnapshot::Of(w));
        Destroy();
    }
}

TEST_F(StartupTest, LanguageFileIsReadAgainAtEveryShow) {
    Tfrm_Main& w = Make();
    EXPECT_EQ(w.btn3->text(), QStringLiteral("Print"));
    ASSERT_TRUE(WriteAll(LanguagePath(), "[seting]\ns19=Drukuj\ns39=brak portu %s\n"));
    w.hide();
    w.show();
    EXPECT_EQ(w.btn3->text(), QStringLiteral("Drukuj"));
    EXPECT_EQ(w.Messages.MsgPortNotExist, QStringLiteral("brak portu %s"));
    EXPECT_EQ(w.Button1->text(), QStringLiteral("Zapisz"));
}

} // namespace

namespace {

// The memo's progress dots are shown in batches; the text must end up exactly as if every
// dot had been applied on arrival.
TEST_F(StartupTest, ProgressDotsEndAsIfAppliedOneByOne) {
    Tfrm_Main& w = Make();
    using K = ProgressDotKind;
    struct Case {
        const char* Name;
        QString Start;
        QList<K> Dots;
    };
    const Case cases[] = {
        {"Detail dots restart after 100 characters", QString(95, QLatin1Char('x')),
         QList<K>(20, K::Limited)},
        {"empty memo, many Detail dots", QString(), QList<K>(250, K::Limited)},
        {"header dots have no limit", QStringLiteral("abc"), QList<K>(150, K::Unlimited)},
        {"mixed", QString(99, QLatin1Char('y')),
         QList<K>{K::Unlimited, K::Limited, K::Limited, K::Unlimited, K::Limited}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        w.Memo1->setPlainText(c.Start);
        QString expected = c.Start;
        for (const K kind : c.Dots) {
            w.AddProgressDot(kind);
            expected = ApplyProgressDot(expected, kind);
        }
        EXPECT_EQ(w.MemoLines().join(QLatin1Char('\n')), expected);
        // Flushed by the refresh timer alone, too.
        w.Memo1->setPlainText(c.Start);
        for (const K kind : c.Dots)
            w.AddProgressDot(kind);
        ASSERT_TRUE(WaitFor([&] { return w.Memo1->toPlainText() == expected; }))
            << w.Memo1->toPlainText().toStdString();
        // A line written meanwhile comes after the dots that arrived before it.
        w.Memo1->setPlainText(c.Start);
        w.AddProgressDot(c.Dots.first());
        w.Upload().OnMemoLine(QStringLiteral("timeout..."));
        EXPECT_EQ(w.Memo1->toPlainText(),
                  ApplyProgressDot(c.Start, c.Dots.first()) + QStringLiteral("\ntimeout..."));
    }
}

} // namespace
