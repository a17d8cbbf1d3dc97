#include "sim/sim_run.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <memory>
#include <sys/signalfd.h>
#include <unistd.h>

void PrintSimError(const QString& Text) {
    std::fprintf(stderr, "orvexfm-sim: %s\n", Text.toLocal8Bit().constData());
    std::fflush(stderr);
}

int RunSimUntilStopped(const QString& FirstLine, const sigset_t& StopSignals, bool ExitOnStdinEof) {
    std::printf("%s\n", FirstLine.toLocal8Bit().constData());
    std::fflush(stdout);

    // The stop signals arrive as readable events, so the loop ends cleanly and the caller
    // can write its summary.
    const int signalFd = signalfd(-1, &StopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    QSocketNotifier signalNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [signalFd] {
        signalfd_siginfo info{};
        while (read(signalFd, &info, sizeof info) == ssize_t(sizeof info)) {
        }
        QCoreApplication::quit();
    });

    std::unique_ptr<QSocketNotifier> stdinNotifier;
    if (ExitOnStdinEof) {
        stdinNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(stdinNotifier.get(), &QSocketNotifier::activated,
                         [n = stdinNotifier.get()] {
                             char buffer[512];
                             if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                                 n->setEnabled(false);
                                 QCoreApplication::quit();
                             }
                         });
    }

    const int rc = QCoreApplication::exec();
    stdinNotifier.reset();
    close(signalFd);
    return rc;
}
