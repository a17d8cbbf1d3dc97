#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

// Ctrl-C for a headless subcommand. The signal handler only writes a byte to a pipe (nothing
// else is safe there); the event loop reads it and runs the owner's callback, which cancels
// the way the window's Cancel button does.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    // Stays where it is: the notifier's handler refers to it.
    InterruptWatch(InterruptWatch&&) = delete;

    // Catches SIGINT from now on and runs OnInterrupt in the event loop for each Ctrl-C.
    // False when it cannot: Ctrl-C then ends the process at once, without clean-up.
    bool Install(std::function<void()> OnInterrupt);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void()> m_onInterrupt;
};
