#pragma once

// Low-latency mode of USB serial adapters. FTDI-style adapters hold received bytes for their
// latency timer (16 ms by default) before passing them on, which costs a stop-and-wait
// protocol up to half its throughput. Asking the driver for ASYNC_LOW_LATENCY (TIOCSSERIAL)
// makes the FTDI driver use a 1 ms timer; no root is needed because the flag is one of the
// user-settable ones. The previous flags come back when the port is closed. A line that does
// not know the request (a pseudo-terminal, a driver without it) is left as it is, silently.
//
// Linux only; included by the Linux serial back-end and its tests, never by owners of TComm.

#include <linux/serial.h>

#include <optional>

// The two driver calls, replaceable so the flag handling can be checked without hardware.
// Each returns 0 on success and -1 on failure, like ioctl().
struct SerialInfoCalls {
    int (*Get)(int Fd, serial_struct* Info);
    int (*Set)(int Fd, const serial_struct* Info);
};

// TIOCGSERIAL / TIOCSSERIAL.
SerialInfoCalls SystemSerialInfoCalls();

// Makes Calls the ones every later request uses; returns the ones in use before.
SerialInfoCalls ReplaceSerialInfoCalls(SerialInfoCalls Calls);

// The low-latency request of one open line: made after the open, given back before the close.
// What the line had before is kept here, so each opening gives back only what it changed.
class SerialLowLatency {
public:
    // Asks the driver of the open line Fd for low latency. When the driver switched it on, the
    // line is remembered so Restore can switch it off again; a line that already had it on, or
    // refused, is not. Returns whether the line now runs with low latency.
    bool Request(int Fd);
    // Gives the line the latency mode it had before Request and forgets it. Call before the
    // line is closed; does nothing for a line that was not changed.
    void Restore();
    // Whether Restore has something to give back.
    bool Changed() const { return m_previousFlags.has_value(); }

private:
    int m_fd = -1;
    std::optional<int> m_previousFlags;
};
