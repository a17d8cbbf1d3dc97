// The hidden scale-memory test button of the main window: the scale link and the progress
// dialog the window owns, the address typed in Edit1 and the test file in the data folder.

#include "app/progress/progress_form.h"
#include "app/progress/scale_memory_test.h"
#include "scalebus/varn_ibus.h"
#include "sim/scale_devices.h"
#include "sim/scale_engine.h"
#include "tests/app/gui/gui_support.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

namespace {

using gui::ReadAll;
using gui::WindowFixture;

class WindowScaleTest : public WindowFixture {
protected:
    // The simulated scale on UDP in this process; the window's link is pointed at it and its
    // echo check answers as PingAnswers says, recording the address asked.
    void StartScale(Tfrm_Main& Window) {
        engine = std::make_unique<ScaleEngine>(ScaleConfig{});
        device = std::make_unique<ScaleUdpDevice>(*engine);
        QString error;
        ASSERT_TRUE(device->Open(QStringLiteral("127.0.0.1"), 0, &error)) << error.toStdString();
        scalebus::TVarnIBusComm& link = Window.ScaleBus();
        link.SetLocalPort(0);
        link.SetRemotePort(device->LocalPort());
        link.PingAddress = [this](const QString& Address) {
            pinged << Address;
            return pingAnswers;
        };
    }

    std::unique_ptr<ScaleEngine> engine;
    std::unique_ptr<ScaleUdpDevice> device;
    bool pingAnswers = true;
    QStringList pinged;
};

TEST_F(WindowScaleTest, Button3IsHiddenAndReadsTheScaleAtEdit1IntoTheDataFolder) {
    Tfrm_Main& w = Make();
    auto* button = w.findChild<QPushButton*>(QStringLiteral("Button3"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button, w.Button3);
    EXPECT_TRUE(button->isHidden());
    EXPECT_TRUE(button->text().isEmpty());

    StartScale(w);
    w.Edit1->setText(QStringLiteral("127.0.0.1"));
    const QString target = ScaleTestFile(w.FDataDir);
    EXPECT_TRUE(target.endsWith(QStringLiteral("/Data/ScaleMemory.bin"))) << target.toStdString();

    bool windowEnabledDuringRun = true;
    bool dialogShownDuringRun = false;
    QObject::connect(w.ProgressForm().ProgressBar1, &QProgressBar::valueChanged, &w, [&] {
        windowEnabledDuringRun = windowEnabledDuringRun && w.isEnabled();
        dialogShownDuringRun = dialogShownDuringRun || w.ProgressForm().isVisible();
    });
    // A read that fails (the link wired to a wrong address, say) leaves the dialog waiting
    // for OK: answer it, so the run ends and the failure is reported instead of hanging.
    QString errorShown;
    TProgressForm& form = w.ProgressForm();
    QObject::connect(&form, &TProgressForm::DialogStateChanged, &form, [&](int State) {
        if (State != kDialogErrorShown)
            return;
        QTimer::singleShot(0, &form, [&] {
            errorShown = form.StatusLabel->text();
            form.OKBtn->click();
        });
    });
    button->click();

    ASSERT_TRUE(errorShown.isEmpty())
        << "the scale test ended with an error: " << errorShown.toStdString();
    EXPECT_EQ(pinged, QStringList{QStringLiteral("127.0.0.1")});
    EXPECT_EQ(w.ScaleBus().IP(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(ReadAll(target).size(), 524288);
    EXPECT_TRUE(dialogShownDuringRun);
    EXPECT_FALSE(windowEnabledDuringRun);
    EXPECT_FALSE(w.ProgressForm().isVisible());
    EXPECT_TRUE(w.isEnabled());
    EXPECT_EQ(w.ProgressForm().StatusLabel->text(), QStringLiteral("Disconnect..."));
    EXPECT_TRUE(Dialogs.Messages.isEmpty());
}

TEST_F(WindowScaleTest, Button3ShowsTheConnectErrorWithOkUntilPressed) {
    Tfrm_Main& w = Make();
    StartScale(w);
    pingAnswers = false;
    w.Edit1->setText(QStringLiteral("127.0.0.1"));

    struct Seen {
        QString Status;
        bool OkVisible = false, CancelVisible = true, WindowEnabled = true;
        bool Seen = false;
    } seen;
    TProgressForm& form = w.ProgressForm();
    QObject::connect(&form, &TProgressForm::DialogStateChanged, &form, [&](int State) {
        if (State != kDialogErrorShown)
            return;
        QTimer::singleShot(0, &form, [&] {
            seen = {form.StatusLabel->text(), form.OKBtn->isVisible(), form.CancelBtn->isVisible(),
                    w.isEnabled(), true};
            form.OKBtn->click();
        });
    });
    w.Button3Click();

    ASSERT_TRUE(seen.Seen);
    EXPECT_EQ(pinged, QStringList{QStringLiteral("127.0.0.1")});
    EXPECT_EQ(seen.Status, QStringLiteral("Connect...Error!"));
    EXPECT_TRUE(seen.OkVisible);
    EXPECT_FALSE(seen.CancelVisible);
    EXPECT_FALSE(seen.WindowEnabled);
    EXPECT_EQ(form.DialogState(), kDialogClosed);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(w.isEnabled());
    EXPECT_FALSE(QFile::exists(ScaleTestFile(w.FDataDir)));
    EXPECT_EQ(engine->Stats().FinishFlags, std::vector<int>{1}); // ended after an error
}

} // namespace
