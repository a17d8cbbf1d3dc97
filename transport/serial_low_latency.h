#pragma once

// Low-latency mode of USB serial adapters. FTDI-style adapters hold received bytes for their
// latency timer (16 ms by default) before passing them on, which costs a stop-and-wait
// protocol up to half its throughput. Asking the driver for ASYNC_LOW_LATENCY (TIOCSSERIAL)
// makes the FTDI driver use a 1 ms timer; no root is needed because the flag is one of the
// user-settable ones. The previous flags come back when the port is closed. A line that does
// not know the request (a pseudo-terminal, a driver without it) is left as it is, silently.

#include <linux/serial.h>

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

// Asks the driver of the open line Fd for low latency. When the driver switched it on, the
// line is remembered so RestoreSerialLatency can switch it off again; a line that already had
// it on, or refused, is not. Returns whether the line now runs with low latency.
bool RequestSerialLowLatency(int Fd);

// Gives the line Fd back the latency mode it had before RequestSerialLowLatency and forgets
// it. Call before closing Fd; does nothing for a line that was not changed.
void RestoreSerialLatency(int Fd);

// Whether RestoreSerialLatency(Fd) has something to give back.
bool SerialLatencyChanged(int Fd);
