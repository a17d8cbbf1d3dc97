// bench_gui_wait: the main window's CPU use while it waits for a paced upload.
//
// Runs the real window (offscreen) against orvexfm-sim --pty --pace (the device sends no
// faster than 115200 bit/s allow), presses "Upload data" for a whole-memory Detail report and
// measures the process's CPU time (user + system) divided by the elapsed time from the start
// of the exchange to the last packet. Goal: at most 5 % of one core, so the window stays
// responsive and the machine idle during a four-minute upload.
//
//   bench_gui_wait [DAYS] [RUNS]   (daily reports in the simulated memory, default 200;
//                                   uploads, default 3; the median counts)

#include "app/main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr double kGoal = 0.05;

double CpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
           double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Answers the output-file dialog; notices are printed.
class BenchDialogs : public TDialogs {
public:
    QString OutputFile;
    QStringList Messages;
    void ShowMessage(QWidget*, const QString& Text, const QString&, MessageIcon) override {
        Messages << Text;
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
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString days = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("200");
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    QTemporaryDir dir;
    QProcess sim;
    sim.start(QCoreApplication::applicationDirPath() + QStringLiteral("/orvexfm-sim"),
              {QStringLiteral("--pty"), QStringLiteral("--pace"), QStringLiteral("--days"), days});
    if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_gui_wait: orvexfm-sim did not start\n");
        return 2;
    }
    const QString first = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (!first.startsWith(QStringLiteral("PTY "))) {
        std::fprintf(stderr, "bench_gui_wait: unexpected first line '%s'\n", qPrintable(first));
        return 2;
    }

    BenchDialogs dialogs;
    dialogs.OutputFile = dir.filePath(QStringLiteral("upload.hex"));
    MainWindowOptions options;
    options.BaseDir = dir.path();
    options.LanguageFile = dir.filePath(QStringLiteral("none.LNG"));
    options.SettingsFile = dir.filePath(QStringLiteral("orvexfm.ini"));
    options.PreselectPort = first.mid(4);
    options.SystemPorts = QStringList();
    options.Dialogs = &dialogs;
    Tfrm_Main window(options);
    window.show();
    window.cb_qrytype->setCurrentIndex(2); // whole fiscal memory

    // The wait: from the start of the exchange until the last packet is in (the Detail
    // decoder hides the progress bar first thing).
    UploadAction& upload = window.Upload();
    double cpuStart = 0, cpuEnd = 0;
    qint64 msStart = 0, msEnd = 0;
    QElapsedTimer clock;
    clock.start();
    const auto onState = upload.OnStateChanged;
    upload.OnStateChanged = [&](UploadState State) {
        if (State == UploadState::Exchanging && msStart == 0) {
            cpuStart = CpuSeconds();
            msStart = clock.elapsed();
        }
        onState(State);
    };
    const auto onBar = upload.OnProgressBar;
    upload.OnProgressBar = [&](const ProgressBar& Bar) {
        if (!Bar.Visible && msStart != 0 && msEnd == 0) {
            cpuEnd = CpuSeconds();
            msEnd = clock.elapsed();
        }
        onBar(Bar);
    };

    // Several uploads in a row; the median share is the result (the machine may be busy
    // with other work now and then).
    std::vector<double> shares;
    for (int run = 0; run < runs; ++run) {
        msStart = msEnd = 0;
        dialogs.Messages.clear();
        window.btnUpload->click();
        if (msEnd <= msStart || dialogs.Messages != QStringList{QStringLiteral("Finish")}) {
            std::fprintf(stderr, "bench_gui_wait: upload %d did not finish (%s)\n", run + 1,
                         qPrintable(dialogs.Messages.join(QStringLiteral(" | "))));
            return 2;
        }
        const double elapsed = double(msEnd - msStart) / 1000.0;
        const double cpu = cpuEnd - cpuStart;
        shares.push_back(cpu / elapsed);
        std::printf("  upload %d: wait %.2f s, CPU %.3f s, %.2f %% of a core\n", run + 1, elapsed,
                    cpu, shares.back() * 100.0);
    }
    sim.terminate();
    sim.waitForFinished(10000);
    std::sort(shares.begin(), shares.end());
    const double share = shares[shares.size() / 2];
    std::printf("bench_gui_wait: %s days, median %.2f %% of a core while waiting "
                "(goal <= %.0f %%): %s\n",
                qPrintable(days), share * 100.0, kGoal * 100.0, share <= kGoal ? "ok" : "TOO HIGH");
    return share <= kGoal ? 0 : 1;
}
