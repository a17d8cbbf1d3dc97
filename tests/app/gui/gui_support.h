#pragma once

// Driving the main window without a screen: an application object, a dialog answerer that
// replies from a script and records what was asked, a simulated device on a
// pseudo-terminal, and small file helpers.

#include "app/dialogs.h"
#include "app/main_window.h"
#include "tests/app/qt_print.h"
#include "tests/support/file_bytes.h"
#include "tests/transport/event_wait.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPrinter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace gui {

// Shared file helper, also reachable as gui::ReadAll.
using ::ReadAll;

// Lets the application run until a condition holds or a time has passed; whether it holds.
// Meant for ASSERT_TRUE/EXPECT_TRUE: Qt's QTRY_ macros report to a Qt Test run, not to
// GoogleTest, so a failure inside them would pass unnoticed here.
using ::WaitFor;

// The application object of a test program, made once, on the Qt platform named (with its
// options). The window keeps settings in the user's configuration folder: never the real one.
inline QApplication& TestApp(const QByteArray& Platform) {
    static int argc = 1;
    static char name[] = "orvexfm-gui-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [&Platform] {
        qputenv("QT_QPA_PLATFORM", Platform);
        static QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Offscreen, with a desktop-sized screen: the window opens at its design size where that
// fits (the offscreen platform's own screen is 800x600).
inline QApplication& App() {
    return TestApp("offscreen:configfile=" ORVEXFM_SOURCE_DIR
                   "/tests/app/gui/offscreen_screen.json");
}

// Answers every dialog from a script; a file dialog with no answer left is cancelled.
class ScriptedDialogs : public TDialogs {
public:
    struct Message {
        QString Text;
        QString Caption;
        MessageIcon Icon = MessageIcon::None;
    };

    QList<Message> Messages;
    QStringList SaveAnswers;
    QList<FileDialogRequest> SaveRequests;
    QStringList OpenAnswers;
    QList<FileDialogRequest> OpenRequests;
    QString PdfFile; // the print dialog "prints to file" here
    bool AcceptPrint = true;
    int PrintDialogs = 0;
    QStringList OpenedFolders;
    QList<bool> ConfirmAnswers; // no answer left: "No"
    QStringList Questions;

    QStringList MessageTexts() const {
        QStringList texts;
        for (const Message& m : Messages)
            texts << m.Text;
        return texts;
    }

    // Runs as each message box is shown: a test looks at the window at that moment.
    std::function<void(const QString& Text)> WhenShown;

    void ShowMessage(QWidget*, const QString& Text, const QString& Caption,
                     MessageIcon Icon) override {
        Messages.append({Text, Caption, Icon});
        if (WhenShown)
            WhenShown(Text);
    }
    bool Confirm(QWidget*, const QString& Text, const QString&) override {
        Questions << Text;
        return !ConfirmAnswers.isEmpty() && ConfirmAnswers.takeFirst();
    }
    QString SaveFileName(QWidget*, const FileDialogRequest& Request) override {
        SaveRequests.append(Request);
        return SaveAnswers.isEmpty() ? QString() : SaveAnswers.takeFirst();
    }
    QString OpenFileName(QWidget*, const FileDialogRequest& Request) override {
        OpenRequests.append(Request);
        return OpenAnswers.isEmpty() ? QString() : OpenAnswers.takeFirst();
    }
    bool SetUpPrinter(QWidget*, QPrinter& Printer) override {
        ++PrintDialogs;
        if (!AcceptPrint)
            return false;
        Printer.setOutputFormat(QPrinter::PdfFormat);
        Printer.setOutputFileName(PdfFile);
        Printer.setPageSize(QPageSize(QPageSize::A4));
        Printer.setPageOrientation(QPageLayout::Portrait);
        return true;
    }
    void OpenFolder(const QString& Folder) override { OpenedFolders << Folder; }
};

inline QString BinPath(const char* Name) {
    return QStringLiteral(ORVEXFM_BIN_DIR "/") + QLatin1String(Name);
}

inline QString SourcePath(const char* Relative) {
    return QStringLiteral(ORVEXFM_SOURCE_DIR "/") + QLatin1String(Relative);
}

// orvexfm-sim on a pseudo-terminal; stopped when it goes out of scope.
class SimDevice {
public:
    explicit SimDevice(QStringList Args = {}) {
        Args.prepend(QStringLiteral("--pty"));
        m_process.start(BinPath("orvexfm-sim"), Args);
        if (!m_process.waitForStarted(10000))
            return;
        QElapsedTimer t;
        t.start();
        while (!m_process.canReadLine() && t.elapsed() < 10000 &&
               m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(100);
        const QString first = QString::fromLocal8Bit(m_process.readLine()).trimmed();
        if (first.startsWith(QStringLiteral("PTY ")))
            m_pty = first.mid(4);
    }
    ~SimDevice() { Stop(); }

    QString Pty() const { return m_pty; }

    // Stops the device; its summary line on standard error.
    QString Stop() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(10000);
            }
            m_summary += QString::fromLocal8Bit(m_process.readAllStandardError());
        }
        return m_summary;
    }

private:
    QProcess m_process;
    QString m_pty;
    QString m_summary;
};

inline bool WriteAll(const QString& Path, const QByteArray& Bytes) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Bytes) == Bytes.size();
}

// A window over a temporary base folder, with scripted dialogs and no system ports listed.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(m_dir.isValid());
    }

    QString Base() const { return m_dir.path(); }
    QString PathIn(const QString& Name) const { return m_dir.filePath(Name); }

    // Language file path used by the window: none exists unless a test writes it.
    QString LanguagePath() const { return m_dir.filePath(QStringLiteral("orvexfm.LNG")); }

    // The settings the window keeps between runs: none exists unless a window was closed.
    QString SettingsPath() const { return m_dir.filePath(QStringLiteral("orvexfm.ini")); }

    Tfrm_Main& Make(const QString& PreselectPort = {}, bool Show = true) {
        MainWindowOptions o;
        o.BaseDir = m_dir.filePath(QStringLiteral("bin"));
        o.LanguageFile = LanguagePath();
        o.SettingsFile = SettingsPath();
        o.PreselectPort = PreselectPort;
        o.SystemPorts = QStringList();
        o.Dialogs = &Dialogs;
        m_window = std::make_unique<Tfrm_Main>(o);
        if (Show)
            m_window->show();
        return *m_window;
    }
    void Destroy() { m_window.reset(); }

    QString Bin(const QString& Name = {}) const {
        return m_dir.filePath(QStringLiteral("bin/") + Name);
    }

    ScriptedDialogs Dialogs;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Tfrm_Main> m_window;
};

// Runs Action from the event queue as soon as Ready() holds (checked every 5 ms), so a test
// can press a button while the window waits inside an upload. Gives up after GuardMs.
class WhenReady : public QObject {
public:
    WhenReady(std::function<bool()> Ready, std::function<void()> Action, int GuardMs = 60000)
        : m_ready(std::move(Ready)), m_action(std::move(Action)) {
        m_guard.start();
        m_guardMs = GuardMs;
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_done || m_guard.elapsed() > m_guardMs) {
                m_timer.stop();
                return;
            }
            if (m_ready()) {
                m_done = true;
                m_timer.stop();
                m_action();
            }
        });
        m_timer.start(5);
    }
    bool Done() const { return m_done; }

private:
    std::function<bool()> m_ready;
    std::function<void()> m_action;
    QTimer m_timer;
    QElapsedTimer m_guard;
    int m_guardMs = 0;
    bool m_done = false;
};

} // namespace gui
