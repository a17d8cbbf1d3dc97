#pragma once

#include <QList>

#include <sys/types.h>

// What this process holds, read from /proc/self: the figures a leak shows up in.
struct ProcSample {
    int Fds = -1;          // entries of /proc/self/fd
    int Threads = -1;      // "Threads:" of /proc/self/status
    long RssKb = -1;       // "VmRSS:" of /proc/self/status
    QList<pid_t> Children; // /proc/self/task/*/children (zombies included)
};

ProcSample SampleProc();
