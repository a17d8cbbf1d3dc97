// The progress dialog and the scale-memory test, headless (offscreen platform), against the
// simulated scale on UDP in the same process.

#include "app/progress/progress_form.h"
#include "app/progress/scale_memory_test.h"
#include "sim/scale_devices.h"
#include "sim/scale_engine.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class QtWidgetsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance())
            m_app = new QApplication(m_argc, m_argv);
    }
    void TearDown() override {
        delete m_app;
        m_app = nullptr;
    }

private:
    int m_argc = 1;
    char m_name[15] = "progress_tests";
    char* m_argv[2] = {m_name, nullptr};
    QApplication* m_app = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtWidgetsEnvironment);

TEST(ProgressForm, EveryLabelHasTheRoomItsTextNeedsAtTheFixedSize) {
    TProgressForm form;
    form.show();
    ASSERT_EQ(form.size(), QSize(326, 210));
    form.SetMargin(2048);
    form.SetProgress(2048);
    for (const QLabel* label : {form.Label1, form.Label2, form.Label3, form.StatusLabel,
                                form.CurLabel, form.TotalLabel}) {
        const QSize need = label->sizeHint();
        EXPECT_GE(label->width(), need.width()) << label->text().toStdString();
        EXPECT_GE(label->height(), need.height()) << label->text().toStdString();
    }
    EXPECT_GE(form.CancelBtn->height(), form.CancelBtn->sizeHint().height());
    form.hide();
}

TEST(ProgressForm, MarginAndProgressShowTheNumbers) {
    TProgressForm form;
    form.SetMargin(50);
    EXPECT_EQ(form.TotalLabel->text(), QStringLiteral("50"));
    EXPECT_EQ(form.CurLabel->text(), QStringLiteral("0"));
    EXPECT_EQ(form.ProgressBar1->maximum(), 50);
    form.SetProgress(7);
    EXPECT_EQ(form.CurLabel->text(), QStringLiteral("7"));
    EXPECT_EQ(form.ProgressBar1->value(), 7);

    // 0 or less: the total shows "0", the bar keeps its range and starts over.
    for (const int total : {0, -3}) {
        form.SetMargin(total);
        EXPECT_EQ(form.TotalLabel->text(), QStringLiteral("0"));
        EXPECT_EQ(form.CurLabel->text(), QStringLiteral("0"));
        EXPECT_EQ(form.ProgressBar1->maximum(), 50);
        EXPECT_EQ(form.ProgressBar1->value(), 0);
    }
}

TEST(ProgressForm, ErrorFormThenOkClosesAndLaterStatusIsIgnored) {
    QWidget mainWindow;
    mainWindow.show();
    TProgressForm form;
    form.SetMainWindow(&mainWindow);
    form.show();
    EXPECT_FALSE(mainWindow.isEnabled());
    form.SetStatus(false, QStringLiteral("Working..."));
    EXPECT_EQ(form.StatusLabel->text(), QStringLiteral("Working..."));
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Working..."));
    EXPECT_TRUE(form.CancelBtn->isVisible());
    EXPECT_FALSE(form.OKBtn->isVisible());

    form.SetStatus(true, QStringLiteral("Broken!"));
    EXPECT_EQ(form.DialogState(), kDialogErrorShown);
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Broken!"));
    EXPECT_EQ(form.StatusLabel->palette().color(QPalette::Window), QColor(Qt::red));
    EXPECT_TRUE(form.OKBtn->isVisible());
    EXPECT_FALSE(form.CancelBtn->isVisible());
    EXPECT_FALSE(mainWindow.isEnabled());

    form.OKBtn->click();
    EXPECT_EQ(form.DialogState(), kDialogClosed);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(mainWindow.isEnabled());

    form.SetStatus(false, QStringLiteral("late"));
    EXPECT_EQ(form.StatusLabel->text(), QStringLiteral("Broken!"));
    EXPECT_EQ(form.DialogState(), kDialogClosed);

    form.show(); // showing again starts over
    EXPECT_EQ(form.DialogState(), kDialogRunning);
    EXPECT_EQ(form.TotalLabel->text(), QStringLiteral("0"));
}

// The scale on UDP in this process, the dialog, the main window and the target file.
class ScaleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        target = ScaleTestFile(dir.path());
        mainWindow.show();
        form.SetMainWindow(&mainWindow);
    }
    void StartScale(const ScaleConfig& Config) {
        engine = std::make_unique<ScaleEngine>(Config);
        device = std::make_unique<ScaleUdpDevice>(*engine);
        QString error;
        ASSERT_TRUE(device->Open(QStringLiteral("127.0.0.1"), 0, &error)) << error.toStdString();
        link.SetLocalPort(0);
        link.SetRemotePort(device->LocalPort());
        link.PingAddress = [this](const QString&) { return pingAnswers; };
    }

    QTemporaryDir dir;
    QString target;
    QWidget mainWindow;
    TProgressForm form;
    scalebus::TVarnIBusComm link;
    std::unique_ptr<ScaleEngine> engine;
    std::unique_ptr<ScaleUdpDevice> device;
    bool pingAnswers = true;
};

TEST_F(ScaleTest, CompleteRunWritesTheMemoryAndClosesTheDialog) {
    StartScale(ScaleConfig{});
    const auto result = ScaleMemoryTest(link, form, QStringLiteral("127.0.0.1"), target);
    EXPECT_EQ(result.Outcome, scalebus::ScaleReadOutcome::Written);
    EXPECT_EQ(QFile(target).size(), 524288);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_EQ(form.TotalLabel->text(), QStringLiteral("2048"));
    EXPECT_EQ(form.CurLabel->text(), QStringLiteral("2048"));
    EXPECT_EQ(form.StatusLabel->text(), QStringLiteral("Disconnect..."));
    EXPECT_EQ(link.IP(), QStringLiteral("127.0.0.1"));
}

TEST_F(ScaleTest, FailedConnectShowsTheErrorWithOkUntilPressed) {
    StartScale(ScaleConfig{});
    pingAnswers = false;
    struct Seen {
        QString Status, Title;
        bool OkVisible = false, CancelVisible = true, MainEnabled = true;
    } seen;
    // When the error form is up, look at it, then press OK as the operator would.
    QObject::connect(&form, &TProgressForm::DialogStateChanged, &form, [&](int State) {
        if (State != kDialogErrorShown)
            return;
        QTimer::singleShot(0, &form, [&] {
            seen = {form.StatusLabel->text(), form.windowTitle(), form.OKBtn->isVisible(),
                    form.CancelBtn->isVisible(), mainWindow.isEnabled()};
            form.OKBtn->click();
        });
    });
    const auto result = ScaleMemoryTest(link, form, QStringLiteral("127.0.0.1"), target);
    EXPECT_EQ(result.Outcome, scalebus::ScaleReadOutcome::ConnectFailed);
    EXPECT_EQ(seen.Status, QStringLiteral("Connect...Error!"));
    EXPECT_EQ(seen.Title, QStringLiteral("Connect...Error!"));
    EXPECT_TRUE(seen.OkVisible);
    EXPECT_FALSE(seen.CancelVisible);
    EXPECT_FALSE(seen.MainEnabled);
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_EQ(form.DialogState(), kDialogClosed);
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(engine->Stats().FinishFlags, std::vector<int>{1}); // ended after an error
}

TEST_F(ScaleTest, CancelDuringBlock100ClosesWithoutErrorOrFile) {
    ScaleConfig config;
    config.Faults.DropAnswers = {101}; // block 100's answer never comes: only Cancel ends it
    StartScale(config);
    link.SetRetryInterval(60000);
    QObject::connect(form.ProgressBar1, &QProgressBar::valueChanged, &form, [&](int Value) {
        if (Value == 101)
            QTimer::singleShot(20, &form, [&] { form.CancelBtn->click(); });
    });
    const auto result = ScaleMemoryTest(link, form, QStringLiteral("127.0.0.1"), target);
    EXPECT_EQ(result.Outcome, scalebus::ScaleReadOutcome::BlockFailed);
    EXPECT_EQ(result.FailedBlock, 100);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.DialogState(), kDialogClosed);
    EXPECT_EQ(form.StatusLabel->text(), QStringLiteral("Receive Data...")); // no error text
    EXPECT_TRUE(mainWindow.isEnabled());
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(engine->Stats().BlockReads.at(100), 1);
}

} // namespace
