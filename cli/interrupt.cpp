#include "cli/interrupt.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// One pipe for the process: a subcommand runs once, and the handler must reach it without
// any state of its own.
int g_interruptPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnInterruptSignal(int Signal) {
    if (g_signal != 0) {
        // The operator insists: the default action ends the process now.
        std::signal(Signal, SIG_DFL);
        std::raise(Signal);
        return;
    }
    g_signal = Signal;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_interruptPipe[1], &byte, 1);
    errno = saved;
}

bool InstallHandler() {
    if (g_interruptPipe[0] < 0 && pipe2(g_interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = OnInterruptSignal;
    sigemptyset(&sa.sa_mask);
    // The handler of one signal runs without being interrupted by another of the three.
    for (const int s : kSignals)
        sigaddset(&sa.sa_mask, s);
    sa.sa_flags = SA_RESTART;
    for (const int s : kSignals) {
        if (sigaction(s, &sa, nullptr) != 0)
            return false;
    }
    return true;
}

} // namespace

InterruptWatch::InterruptWatch() = default;
InterruptWatch::~InterruptWatch() = default;

bool InterruptWatch::Install(std::function<void()> OnInterrupt) {
    if (!InstallHandler())
        return false;
    m_onInterrupt = std::move(OnInterrupt);
    m_notifier = std::make_unique<QSocketNotifier>(g_interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        char buf[16];
        while (read(g_interruptPipe[0], buf, sizeof buf) > 0) {
        }
        if (m_onInterrupt)
            m_onInterrupt();
    });
    return true;
}

int InterruptWatch::Signal() {
    return g_signal;
}

const char* InterruptWatch::SignalName(int Signal) {
    switch (Signal) {
    case SIGINT:
        return "Ctrl-C";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    }
    return "a signal";
}
