// "Upload data", Cancel and the port error lines, pressed like an operator would, against
// the simulated device on a pseudo-terminal.

#include "gui_support.h"

#include "fm/cp1250.h"
#include "tests/support/file_size_limit.h"

#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

using namespace gui;

namespace {

class UploadTest : public WindowFixture {
protected:
    QStringList FilesIn(const char* Folder, const char* Pattern) {
        return QDir(Bin(QLatin1String(Folder))).entryList({QLatin1String(Pattern)}, QDir::Files);
    }

    // Presses "Upload data"; the click returns when the upload has ended. A guard cancels an
    // upload that hangs, so a fault fails the test instead of blocking it.
    void PressUpload(Tfrm_Main& w) {
        QElapsedTimer t;
        t.start();
        WhenReady guard([&] { return t.elapsed() > 90000; }, [&] { w.btnCancel->click(); }, 120000);
        w.btnUpload->click();
        EXPECT_FALSE(guard.Done()) << "the upload hung and was cancelled";
    }

    void ExpectIdle(Tfrm_Main& w) {
        EXPECT_FALSE(w.btnUpload->isHidden());
        EXPECT_TRUE(w.btnUpload->isEnabled());
        EXPECT_TRUE(w.btnCancel->isHidden());
        EXPECT_TRUE(w.ComboBox3->isEnabled());
        EXPECT_FALSE(w.FUploading);
    }
};

TEST_F(UploadTest, WholeUploadsThroughTheButtons) {
    struct Case {
        const char* Name;
        int ReportType;
        int RangeKind;
        const char* From;
        const char* To;
        const char* ReportPrefix; // nullptr: no report
        const char* ListType;
        const char* MemoHolds;
        QStringList Messages;
    };
    const Case cases[] = {
        {"Detail by Z count",
         0,
         0,
         "1",
         "5",
         "Detail",
         "Detail",
         "SPRZEDA\u017b OPODATK. A",
         {"Finish"}},
        {"tax rate, whole memory", 2, 2, "", "", "Tax", "Change t", "PTU A", {"Finish"}},
    };
    SimDevice sim;
    ASSERT_FALSE(sim.Pty().isEmpty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Tfrm_Main& w = Make(sim.Pty());
        ASSERT_EQ(w.cb_com->currentText(), sim.Pty());

        // A decode that failed before must not hide "Finish" for this upload.
        Dialogs.OpenAnswers = {Base()};
        w.Button2->click();
        ASSERT_TRUE(w.FDecodeFailed);
        Dialogs.Messages.clear();

        w.ComboBox2->setCurrentIndex(c.ReportType);
        w.cb_qrytype->setCurrentIndex(c.RangeKind);
        w.ed_From->setText(QLatin1String(c.From));
        w.ed_To->setText(QLatin1String(c.To));
        const QString hex = PathIn(QStringLiteral("upload-%1.hex").arg(c.ReportType));
        Dialogs.SaveAnswers = {hex};
        PressUpload(w);

        ASSERT_FALSE(Dialogs.SaveRequests.isEmpty());
        EXPECT_EQ(Dialogs.SaveRequests.last().Filters,
                  (QStringList{"Text files(*.txt)", "HEX files(*.hex)"}));
        EXPECT_EQ(Dialogs.SaveRequests.last().SelectedFilter, 1);
        EXPECT_EQ(w.FUploadFileName, hex);
        EXPECT_EQ(Dialogs.MessageTexts(), c.Messages);
        // "Finish" informs, "Data Error" warns.
        for (const ScriptedDialogs::Message& m : Dialogs.Messages)
            EXPECT_EQ(m.Icon, m.Text == QStringLiteral("Finish") ? MessageIcon::Information
                                                                 : MessageIcon::Warning);
        ExpectIdle(w);
        // The next key goes to "Upload data", not to "Close".
        EXPECT_EQ(w.focusWidget(), w.btnUpload);
        const QByteArray upload = ReadAll(hex);
        EXPECT_GT(upload.size(), 256);
        // The status line keeps the upload's figures: every byte that came.
        EXPECT_TRUE(w.lblUploadStatus->text().contains(
            QStringLiteral(" bytes,").prepend(QLocale().toString(upload.size()))))
            << w.lblUploadStatus->text().toStdString();
        EXPECT_GT(w.lblUploadStatus->width(), 0);

        if (c.ReportType >= 2) {
            // Header and footer came first, into the Dufile folder.
            const QStringList headers = FilesIn("Dufile", "Header*.hex");
            const QStringList footers = FilesIn("Dufile", "Footer*.hex");
            ASSERT_EQ(headers.size(), 1);
            ASSERT_EQ(footers.size(), 1);
            EXPECT_GT(QFileInfo(Bin("Dufile/") + headers[0]).size(), 0);
            EXPECT_GT(QFileInfo(Bin("Dufile/") + footers[0]).size(), 0);
            EXPECT_EQ(w.pgbar->value(), w.pgbar->maximum()); // one step per EPROM packet
        }
        if (!c.ReportPrefix) {
            EXPECT_TRUE(w.dxlist.IsEmpty());
            EXPECT_TRUE(w.FDecodeFailed);
            Destroy();
            continue;
        }
        const QStringList reports =
            FilesIn("Txtfile", (std::string(c.ReportPrefix) + "*.txt").c_str());
        ASSERT_EQ(reports.size(), 1);
        const QString report = Bin("Txtfile/") + reports[0];
        ASSERT_EQ(w.dxlist.Count(), 1);
        EXPECT_EQ(w.dxlist.At(0).filename, report);
        EXPECT_EQ(w.dxlist.At(0).ReportType, QLatin1String(c.ListType));
        EXPECT_EQ(w.dxlist.At(0).dCreate, FormatListDate(QDate::currentDate()));
        // The memo shows the report, decoded from Windows-1250; the file keeps those bytes.
        EXPECT_TRUE(w.Memo1->toPlainText().contains(QString::fromUtf8(c.MemoHolds)))
            << w.Memo1->toPlainText().left(300).toStdString();
        EXPECT_EQ(UnicodeToCp1250(w.MemoLines().join(QStringLiteral("\r\n"))) + "\r\n",
                  ReadAll(report));
        EXPECT_FALSE(w.FDecodeFailed);
        if (c.ReportType <= 1) {
            EXPECT_EQ(w.lb_file->text(), hex);
            EXPECT_TRUE(w.pgbar->isHidden());
        }
        // In the list file already while the window is open: a crash or a kill cannot lose it.
        EXPECT_TRUE(ReadAll(Bin("Data/FMList.txt")).contains(report.toUtf8()));
        w.close();
        EXPECT_TRUE(ReadAll(Bin("Data/FMList.txt")).contains(report.toUtf8()));
        Destroy();
        QDir(Bin()).removeRecursively();
    }
}

TEST_F(UploadTest, CancelDuringTheHeaderExchangeStopsTheWholeUpload) {
    // The device agrees the bit rate, then stays silent: the header exchange keeps waiting.
    SimDevice sim({QStringLiteral("--silent-after"), QStringLiteral("1")});
    ASSERT_FALSE(sim.Pty().isEmpty());
    Tfrm_Main& w = Make(sim.Pty());
    w.ComboBox2->setCurrentIndex(2);
    w.cb_qrytype->setCurrentIndex(2);
    const QString hex = PathIn(QStringLiteral("tax.hex"));
    Dialogs.SaveAnswers = {hex};

    bool cancelShownDuringExchange = false;
    bool uploadHiddenDuringExchange = false;
    // Cancel once the bit rate is agreed: the header requests are running then.
    const auto rateAgreed = [&] {
        const TBsPort* link = w.PortManager().Port(w.PortManager().FindPort(sim.Pty()));
        return link && link->BaudReady;
    };
    WhenReady cancel([&] { return !w.btnCancel->isHidden() && rateAgreed(); },
                     [&] {
                         cancelShownDuringExchange = true;
                         uploadHiddenDuringExchange = w.btnUpload->isHidden();
                         EXPECT_TRUE(w.FUploading);
                         EXPECT_FALSE(w.ComboBox3->isEnabled());
                         w.btnCancel->click();
                     });
    // The operator tabbed to Cancel (hiding it would hand the focus on to "Close").
    WhenReady focusCancel([&] { return !w.btnCancel->isHidden(); },
                          [&] { w.btnCancel->setFocus(Qt::TabFocusReason); });
    PressUpload(w);
    ASSERT_TRUE(cancel.Done());
    EXPECT_EQ(w.focusWidget(), w.btnUpload);
    EXPECT_TRUE(cancelShownDuringExchange);
    EXPECT_TRUE(uploadHiddenDuringExchange);

    ASSERT_FALSE(w.MemoLines().isEmpty());
    EXPECT_EQ(w.MemoLines().last(), QStringLiteral("cancel upload..."));
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.MessageTexts().join('|').toStdString();
    ExpectIdle(w);
    EXPECT_TRUE(w.dxlist.IsEmpty());
    EXPECT_TRUE(FilesIn("Txtfile", "*").isEmpty());
    // No footer and no main exchange followed.
    const QStringList footers = FilesIn("Dufile", "Footer*.hex");
    for (const QString& f : footers)
        EXPECT_EQ(QFileInfo(Bin("Dufile/") + f).size(), 0);
    EXPECT_EQ(ReadAll(hex).size(), 0);
    const QString summary = sim.Stop();
    EXPECT_FALSE(summary.contains(QStringLiteral("H_UPLOAD_Footer"))) << summary.toStdString();
    EXPECT_FALSE(summary.contains(QStringLiteral("H_UPLOAD_EPROM"))) << summary.toStdString();
}

// The upload file stops taking data while the blocks come (a full disk, played by a
// file-size limit): the memo names the file and the system's reason instead of "timeout...",
// "connect fail...", and nothing is decoded, listed or shown as the uploaded file.
TEST_F(UploadTest, UploadFileThatFailsMidUploadIsNamedInTheMemo) {
    SimDevice sim;
    ASSERT_FALSE(sim.Pty().isEmpty());
    Tfrm_Main& w = Make(sim.Pty());
    w.cb_qrytype->setCurrentIndex(2);
    const QString hex = PathIn(QStringLiteral("cut.hex"));
    Dialogs.SaveAnswers = {hex};
    {
        testsupport::FileSizeLimit limit(2 * 256 + 10);
        ASSERT_TRUE(limit.Active());
        PressUpload(w);
    }
    const QStringList memo = w.MemoLines();
    EXPECT_TRUE(
        memo.contains(QStringLiteral("Write file %1 fail: %2").arg(hex, qt_error_string(EFBIG))))
        << memo.join(u'|').toStdString();
    EXPECT_FALSE(memo.contains(QStringLiteral("timeout..."))) << memo.join(u'|').toStdString();
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.MessageTexts().join('|').toStdString();
    EXPECT_NE(w.lb_file->text(), hex);
    EXPECT_TRUE(w.dxlist.IsEmpty());
    EXPECT_TRUE(FilesIn("Txtfile", "*").isEmpty());
    ExpectIdle(w);
}

TEST_F(UploadTest, CloseDuringAnUploadEndsItWithoutDecodingAndSavesTheList) {
    SimDevice sim({QStringLiteral("--silent-after"), QStringLiteral("1")});
    ASSERT_FALSE(sim.Pty().isEmpty());
    Tfrm_Main& w = Make(sim.Pty());
    w.cb_qrytype->setCurrentIndex(2);
    Dialogs.SaveAnswers = {PathIn(QStringLiteral("detail.hex"))};
    // The operator is asked first: "No" keeps the upload going, "Yes" closes.
    Dialogs.ConfirmAnswers = {false, true};
    bool keptGoing = false;
    WhenReady close([&] { return !w.btnCancel->isHidden(); },
                    [&] {
                        w.close(); // the title bar's close button
                        keptGoing = w.isVisible() && w.Upload().Running();
                        w.btnClose->click();
                    });
    PressUpload(w);
    ASSERT_TRUE(close.Done());
    EXPECT_TRUE(keptGoing);
    EXPECT_EQ(Dialogs.Questions.size(), 2);
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.MemoLines().contains(QStringLiteral("cancel upload...")));
    EXPECT_TRUE(Dialogs.Messages.isEmpty()) << Dialogs.MessageTexts().join('|').toStdString();
    EXPECT_TRUE(FilesIn("Txtfile", "*").isEmpty());
    EXPECT_TRUE(w.dxlist.IsEmpty());
    EXPECT_EQ(ReadAll(Bin("Data/FMList.txt")), QByteArray("ReportType\tfilename\tdCreate\r\n"));
    ExpectIdle(w);
}

// The memo names the port that did not open and, on the next line, the system's reason.
TEST_F(UploadTest, PortThatDoesNotOpenIsReportedInTheMemo) {
    struct Case {
        const char* Name;
        std::optional<QByteArray> Language;
        QString Expected;
    };
    const QString port = PathIn(QStringLiteral("no-such-tty"));
    const Case cases[] = {
        {"default text", std::nullopt, QStringLiteral("port %1 open fail!").arg(port)},
        {"translated text", QByteArray("[seting]\ns44=nie mo\xbfna otworzy\xe6 portu %s\n"),
         QStringLiteral("nie mo\u017cna otworzy\u0107 portu %1").arg(port)},
    };
    const QString reason =
        QStringLiteral("%1: %2").arg(port, QString::fromLocal8Bit(std::strerror(ENOENT)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile::remove(LanguagePath());
        if (c.Language) {
            ASSERT_TRUE(WriteAll(LanguagePath(), *c.Language));
        }
        Tfrm_Main& w = Make(port);
        w.Memo1->setPlainText(QStringLiteral("previous report"));
        w.cb_qrytype->setCurrentIndex(2);
        Dialogs.SaveAnswers = {PathIn(QStringLiteral("never.hex"))};
        PressUpload(w);
        EXPECT_EQ(w.MemoLines(), (QStringList{c.Expected, reason}));
        EXPECT_FALSE(QFileInfo::exists(PathIn(QStringLiteral("never.hex"))));
        ExpectIdle(w);
        EXPECT_EQ(w.focusWidget(), w.btnUpload);
        EXPECT_TRUE(w.pgbar->isHidden());
        EXPECT_TRUE(w.lblUploadStatus->text().isEmpty()); // nothing came
        Destroy();
    }
}

// A change report whose range runs backwards could select nothing: it is refused with the
// decoder's "Data Error" before the file is asked for, and nothing goes to the device.
TEST_F(UploadTest, ReversedChangeRangeIsRefusedBeforeAnythingIsSent) {
    struct Case {
        int ReportType;
        int RangeKind;
        const char* From;
        const char* To;
    };
    const Case cases[] = {{3, 0, "6", "5"}, {2, 1, "241231", "240101"}, {4, 0, "10", "9"}};
    SimDevice sim;
    ASSERT_FALSE(sim.Pty().isEmpty());
    Tfrm_Main& w = Make(sim.Pty());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ReportType << " " << c.From << "-" << c.To);
        Dialogs.Messages.clear();
        w.ComboBox2->setCurrentIndex(c.ReportType);
        w.cb_qrytype->setCurrentIndex(c.RangeKind);
        w.ed_From->setText(QLatin1String(c.From));
        w.ed_To->setText(QLatin1String(c.To));
        Dialogs.SaveAnswers = {PathIn(QStringLiteral("never.hex"))};
        PressUpload(w);
        EXPECT_EQ(Dialogs.MessageTexts(), QStringList{QStringLiteral("Data Error")});
        ASSERT_FALSE(Dialogs.Messages.isEmpty());
        EXPECT_EQ(Dialogs.Messages.first().Icon, MessageIcon::Warning);
        EXPECT_TRUE(Dialogs.SaveRequests.isEmpty());
        ExpectIdle(w);
    }
    EXPECT_FALSE(QFileInfo::exists(PathIn(QStringLiteral("never.hex"))));
    EXPECT_TRUE(FilesIn("Dufile", "*").isEmpty());
    const QString summary = sim.Stop();
    EXPECT_TRUE(summary.contains(QStringLiteral("served 0 requests"))) << summary.toStdString();
}

// A Detail range the device holds nothing for: one memo line says so before "Finish", and
// the status line names this upload's file, not the report shown before.
TEST_F(UploadTest, NoReportSaysSoInTheMemoBeforeFinish) {
    const QString earlier = PathIn(QStringLiteral("earlier.txt"));
    ASSERT_TRUE(WriteAll(earlier, "earlier report\r\n"));
    ASSERT_TRUE(QDir().mkpath(Bin(QStringLiteral("Data"))));
    ASSERT_TRUE(WriteAll(Bin(QStringLiteral("Data/FMList.txt")),
                         "ReportType\tfilename\tdCreate\r\nDetail\t" + earlier.toUtf8() +
                             "\t01/02/2024\r\n"));
    SimDevice sim;
    ASSERT_FALSE(sim.Pty().isEmpty());
    for (const bool translated : {false, true}) {
        SCOPED_TRACE(translated ? "language file" : "default text");
        QFile::remove(LanguagePath());
        if (translated) {
            ASSERT_TRUE(WriteAll(LanguagePath(), "[seting]\r\ns30=Koniec\r\n"
                                                 "s47=brak raportu w tym zakresie\r\n"));
        }
        Tfrm_Main& w = Make(sim.Pty());
        ASSERT_EQ(w.lb_file->text(), earlier);
        w.ed_From->setText(QStringLiteral("9000"));
        w.ed_To->setText(QStringLiteral("9001"));
        const QString hex = PathIn(QStringLiteral("empty.hex"));
        Dialogs.SaveAnswers = {hex};
        Dialogs.Messages.clear();
        QStringList memoAtFinish;
        QString statusAtFinish;
        Dialogs.WhenShown = [&](const QString&) {
            memoAtFinish = w.MemoLines();
            statusAtFinish = w.lb_file->text();
        };
        PressUpload(w);
        Dialogs.WhenShown = nullptr;
        EXPECT_EQ(ReadAll(hex).size(), 256);
        EXPECT_EQ(Dialogs.MessageTexts(),
                  QStringList{translated ? QStringLiteral("Koniec") : QStringLiteral("Finish")});
        const QStringList said{translated ? QStringLiteral("brak raportu w tym zakresie")
                                          : QStringLiteral("no report: the device has no data "
                                                           "in this range")};
        EXPECT_EQ(memoAtFinish, said);
        EXPECT_EQ(statusAtFinish, hex);
        EXPECT_EQ(w.MemoLines(), said);
        EXPECT_EQ(w.lb_file->text(), hex);
        EXPECT_EQ(w.dxlist.Count(), 1);
        Destroy();
    }
}

TEST_F(UploadTest, RangeIsCheckedBeforeTheFileIsAskedFor) {
    struct Case {
        int ReportType;
        int RangeKind;
        const char* From;
        const char* To;
        const char* Message; // nullptr: accepted, the file dialog opens
    };
    const Case cases[] = {
        {0, 0, "", "5", "input Z Count No. error"},
        {1, 0, "1", "  ", "input Z Count No. error"},
        {0, 1, "", "240131", "input date error"},
        {0, 1, "2401", "240131", "date format error"},
        {4, 0, "", "", nullptr}, // change reports take their range later
        {0, 2, "", "", nullptr},
    };
    Tfrm_Main& w = Make();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ReportType << "/" << c.RangeKind << " '" << c.From
                                        << "' '" << c.To << "'");
        Dialogs.Messages.clear();
        Dialogs.SaveRequests.clear();
        w.ComboBox2->setCurrentIndex(c.ReportType);
        w.cb_qrytype->setCurrentIndex(c.RangeKind);
        w.ed_From->setText(QLatin1String(c.From));
        w.ed_To->setText(QLatin1String(c.To));
        w.btnUpload->click(); // the file dialog, when asked, is cancelled
        if (c.Message) {
            EXPECT_EQ(Dialogs.MessageTexts(), QStringList{QLatin1String(c.Message)});
            EXPECT_TRUE(Dialogs.SaveRequests.isEmpty());
        } else {
            EXPECT_TRUE(Dialogs.Messages.isEmpty());
            EXPECT_EQ(Dialogs.SaveRequests.size(), 1);
        }
        ExpectIdle(w);
    }
}

} // namespace

namespace {

// A pseudo-terminal whose slave side a link can open; closed at the end.
class Pty {
public:
    Pty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_slave = QString::fromLocal8Bit(ptsname(m_master));
    }
    ~Pty() {
        if (m_master >= 0)
            close(m_master);
    }
    QString Slave() const { return m_slave; }

private:
    int m_master = -1;
    QString m_slave;
};

TEST_F(UploadTest, PortWithNoFreeLinkGivesBothPortLines) {
    // All eight links of the port manager are busy with other lines: the selected port has
    // no entry, so it "is not exist", and then it does not open.
    std::vector<std::unique_ptr<Pty>> busy;
    Pty selected;
    ASSERT_FALSE(selected.Slave().isEmpty());
    Tfrm_Main& w = Make(selected.Slave());
    for (int i = 0; i < TVarnMPComm::kPortCount; ++i) {
        busy.push_back(std::make_unique<Pty>());
        ASSERT_TRUE(w.PortManager().OpenPort(busy.back()->Slave()))
            << w.PortManager().LastError().toStdString();
    }
    ASSERT_EQ(w.PortManager().FindPort(selected.Slave()), -1);
    w.cb_qrytype->setCurrentIndex(2);
    Dialogs.SaveAnswers = {PathIn(QStringLiteral("never.hex"))};
    PressUpload(w);
    EXPECT_EQ(w.MemoLines(),
              (QStringList{selected.Slave() + QStringLiteral(" Port is not exist"),
                           QStringLiteral("port %1 open fail!").arg(selected.Slave())}));
    ExpectIdle(w);
    for (const auto& p : busy)
        w.PortManager().ClosePort(p->Slave());
}

// Another program holds the port (it took the lock serial programs share): the memo says so
// under "port %s open fail!".
TEST_F(UploadTest, PortHeldByAnotherProgramIsNamedInTheMemo) {
    Pty held;
    ASSERT_FALSE(held.Slave().isEmpty());
    const int other = ::open(QFile::encodeName(held.Slave()).constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    Tfrm_Main& w = Make(held.Slave());
    w.cb_qrytype->setCurrentIndex(2);
    Dialogs.SaveAnswers = {PathIn(QStringLiteral("never.hex"))};
    PressUpload(w);
    ::close(other);
    EXPECT_EQ(w.MemoLines(),
              (QStringList{QStringLiteral("port %1 open fail!").arg(held.Slave()),
                           QStringLiteral("%1: in use by another program").arg(held.Slave())}));
    ExpectIdle(w);
}

} // namespace
