// orvexfm-screenshot: the picture of the main window in the documentation. Starts
// orvexfm-sim on a pseudo-terminal (paced at the line's speed), runs a Detail upload (Z
// reports 1 to 3) through the window's own button, and saves the window as a PNG.
//
//   orvexfm-screenshot OUTPUT.png        (run under a display, e.g. xvfb-run)

#include "app/main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// The only dialog of the run is the upload's file dialog; notices go to standard error.
class ShotDialogs : public TDialogs {
public:
    QString OutputFile;
    void ShowMessage(QWidget*, const QString& Text, const QString&, MessageIcon) override {
        std::fprintf(stderr, "orvexfm-screenshot: message \"%s\"\n", qPrintable(Text));
    }
    // Nothing asks while the run lasts; a question would mean the run went wrong.
    bool Confirm(QWidget*, const QString&, const QString&) override { return false; }
    QString SaveFileName(QWidget*, const FileDialogRequest&) override { return OutputFile; }
    QString OpenFileName(QWidget*, const FileDialogRequest&) override { return {}; }
    bool SetUpPrinter(QWidget*, QPrinter&) override { return false; }
    void OpenFolder(const QString&) override {}
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: orvexfm-screenshot OUTPUT.png\n");
        return 2;
    }
    QTemporaryDir dir;
    QProcess sim;
    // Paced like a real line, so the status line shows the figures of a real device.
    sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/orvexfm-sim"),
              {QStringLiteral("--pty"), QStringLiteral("--pace")});
    if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000)) {
        std::fprintf(stderr, "orvexfm-screenshot: orvexfm-sim did not start\n");
        return 1;
    }
    const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
    const QString pty = first.startsWith(QStringLiteral("PTY ")) ? first.mid(4) : QString();

    ShotDialogs dialogs;
    dialogs.OutputFile = dir.filePath(QStringLiteral("Detail-Z1-3.hex"));
    MainWindowOptions options;
    options.BaseDir = dir.path();
    options.LanguageFile = dir.filePath(QStringLiteral("none.LNG"));
    options.SettingsFile = dir.filePath(QStringLiteral("orvexfm.ini"));
    options.PreselectPort = pty;
    options.Dialogs = &dialogs;
    Tfrm_Main window(options);
    window.show();
    window.ed_From->setText(QStringLiteral("1"));
    window.ed_To->setText(QStringLiteral("3"));
    window.btnUpload->click();
    sim.terminate();
    sim.waitForFinished(10000);
    QCoreApplication::processEvents();

    if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "orvexfm-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
