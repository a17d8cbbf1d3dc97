#include "transport/serial_low_latency.h"

#include <mutex>

#include <sys/ioctl.h>

namespace {

int SystemGet(int Fd, serial_struct* Info) {
    return ::ioctl(Fd, TIOCGSERIAL, Info);
}

int SystemSet(int Fd, const serial_struct* Info) {
    return ::ioctl(Fd, TIOCSSERIAL, Info);
}

// Lines are opened by the owner's thread and may be closed by another one (a link's worker),
// so the calls in use are read under a lock.
struct CallsInUse {
    std::mutex Lock;
    SerialInfoCalls Calls{SystemGet, SystemSet};
};

CallsInUse& InUse() {
    static CallsInUse inUse;
    return inUse;
}

SerialInfoCalls CurrentCalls() {
    CallsInUse& inUse = InUse();
    const std::lock_guard guard(inUse.Lock);
    return inUse.Calls;
}

} // namespace

SerialInfoCalls SystemSerialInfoCalls() {
    return {SystemGet, SystemSet};
}

SerialInfoCalls ReplaceSerialInfoCalls(SerialInfoCalls Calls) {
    CallsInUse& inUse = InUse();
    const std::lock_guard guard(inUse.Lock);
    const SerialInfoCalls before = inUse.Calls;
    inUse.Calls = Calls;
    return before;
}

bool SerialLowLatency::Request(int Fd) {
    m_fd = Fd;
    m_previousFlags.reset();
    const SerialInfoCalls calls = CurrentCalls();
    serial_struct info{};
    if (calls.Get(Fd, &info) != 0)
        return false;
    if (info.flags & ASYNC_LOW_LATENCY)
        return true;
    const int previous = info.flags;
    // Everything else goes back as the driver gave it: an unprivileged caller may change only
    // the user-settable flags.
    info.flags |= ASYNC_LOW_LATENCY;
    if (calls.Set(Fd, &info) != 0)
        return false;
    m_previousFlags = previous;
    return true;
}

void SerialLowLatency::Restore() {
    if (!m_previousFlags)
        return;
    const int previous = *m_previousFlags;
    m_previousFlags.reset();
    const SerialInfoCalls calls = CurrentCalls();
    serial_struct info{};
    // A device that went away meanwhile has nothing left to restore.
    if (calls.Get(m_fd, &info) != 0)
        return;
    info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (previous & ASYNC_LOW_LATENCY);
    calls.Set(m_fd, &info);
}
