#include "transport/serial_low_latency.h"

#include <map>
#include <mutex>

#include <sys/ioctl.h>

namespace {

int SystemGet(int Fd, serial_struct* Info) {
    return ::ioctl(Fd, TIOCGSERIAL, Info);
}

int SystemSet(int Fd, const serial_struct* Info) {
    return ::ioctl(Fd, TIOCSSERIAL, Info);
}

// Lines are opened by the owner's thread and may be closed by a link's worker thread, so the
// bookkeeping is shared under one lock. Keyed by descriptor: an entry lives only between the
// request after open and the restore before close, while the descriptor cannot be reused.
struct LatencyBook {
    std::mutex Lock;
    SerialInfoCalls Calls{SystemGet, SystemSet};
    std::map<int, int> PreviousFlags;
};

LatencyBook& Book() {
    static LatencyBook book;
    return book;
}

} // namespace

SerialInfoCalls SystemSerialInfoCalls() {
    return {SystemGet, SystemSet};
}

SerialInfoCalls ReplaceSerialInfoCalls(SerialInfoCalls Calls) {
    LatencyBook& book = Book();
    const std::lock_guard guard(book.Lock);
    const SerialInfoCalls before = book.Calls;
    book.Calls = Calls;
    return before;
}

bool RequestSerialLowLatency(int Fd) {
    LatencyBook& book = Book();
    const std::lock_guard guard(book.Lock);
    book.PreviousFlags.erase(Fd);
    serial_struct info{};
    if (book.Calls.Get(Fd, &info) != 0)
        return false;
    if (info.flags & ASYNC_LOW_LATENCY)
        return true;
    const int previous = info.flags;
    // Everything else goes back as the driver gave it: an unprivileged caller may change only
    // the user-settable flags.
    info.flags |= ASYNC_LOW_LATENCY;
    if (book.Calls.Set(Fd, &info) != 0)
        return false;
    book.PreviousFlags.emplace(Fd, previous);
    return true;
}

void RestoreSerialLatency(int Fd) {
    LatencyBook& book = Book();
    const std::lock_guard guard(book.Lock);
    const auto entry = book.PreviousFlags.find(Fd);
    if (entry == book.PreviousFlags.end())
        return;
    const int previous = entry->second;
    book.PreviousFlags.erase(entry);
    serial_struct info{};
    // A device that went away meanwhile has nothing left to restore.
    if (book.Calls.Get(Fd, &info) != 0)
        return;
    info.flags = (info.flags & ~ASYNC_LOW_LATENCY) | (previous & ASYNC_LOW_LATENCY);
    book.Calls.Set(Fd, &info);
}

bool SerialLatencyChanged(int Fd) {
    LatencyBook& book = Book();
    const std::lock_guard guard(book.Lock);
    return book.PreviousFlags.contains(Fd);
}
