#include "cli/interrupt.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One pipe for the process: a subcommand runs once, and the handler must reach it without
// any state of its own.
int g_interruptPipe[2] = {-1, -1};

extern "C" void OnInterruptSignal(int) {
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
    sa.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &sa, nullptr) == 0;
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
        // Several Ctrl-C before the loop runs count as one.
        char buf[16];
        while (read(g_interruptPipe[0], buf, sizeof buf) > 0) {
        }
        if (m_onInterrupt)
            m_onInterrupt();
    });
    return true;
}
