#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Ctrl-C, SIGTERM and SIGHUP for a headless subcommand. The signal handler only notes the
// signal and writes a byte to a pipe (nothing else is safe there); the event loop reads it and
// runs the owner's callback, which cancels the way the window's Cancel button does. A second
// signal while the first is still being handled ends the process at once, so that a run that
// cannot wind down (stuck outside the event loop) never ignores the operator.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    // Stays where it is: the notifier's handler refers to it.
    InterruptWatch(InterruptWatch&&) = delete;

    // Catches SIGINT, SIGTERM and SIGHUP from now on and runs OnInterrupt in the event loop.
    // False when it cannot: the signals then end the process at once, without clean-up.
    bool Install(std::function<void()> OnInterrupt);

    // The first signal caught (SIGINT, SIGTERM or SIGHUP); 0 while none came. Set as soon as
    // the signal arrives, also before the event loop has run the callback.
    static int Signal();
    // "Ctrl-C", "SIGTERM" or "SIGHUP" for a message.
    static const char* SignalName(int Signal);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_onInterrupt;
};
