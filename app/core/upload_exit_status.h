#pragma once

#include "app/core/upload_action.h"

#include <csignal>

// Exit statuses of a headless upload. Scripts branch on them, so they never change meaning.
enum UploadExitStatus {
    kUploadExitOk = 0,
    kUploadExitUsage = 2,         // bad usage, bad range, output file, another upload running
    kUploadExitPort = 3,          // the port (or the UDP echo socket) cannot be opened, or
                                  // the line went away during the upload (disconnected)
    kUploadExitTimeout = 4,       // no answer, or the link gave up
    kUploadExitRefused = 5,       // the device refused a request
    kUploadExitDecode = 6,        // uploaded, but the report could not be made
    kUploadExitFile = 7,          // a file on this computer could not be written (or read
                                  // back): the .hex file while the data came, joined upload,
                                  // report, list, trace; with the reason
    kUploadExitHangUp = 129,      // ended by SIGHUP (terminal closed); the partial file stays
    kUploadExitInterrupted = 130, // cancelled (Ctrl-C); the partial .hex file stays
    kUploadExitTerminated = 143,  // ended by SIGTERM; the partial file stays
};

// A signal that ended the upload gives the shell's status for it, 128 + the signal's number.
constexpr int ExitStatusForSignal(int Signal) {
    return 128 + Signal;
}
static_assert(ExitStatusForSignal(SIGINT) == kUploadExitInterrupted);
static_assert(ExitStatusForSignal(SIGHUP) == kUploadExitHangUp);
static_assert(ExitStatusForSignal(SIGTERM) == kUploadExitTerminated);

// The exit status a command-line upload ends with for an outcome of the upload road.
constexpr int ExitStatusFor(UploadOutcome Outcome) {
    switch (Outcome) {
    case UploadOutcome::Finished:
        return kUploadExitOk;
    case UploadOutcome::BadRange:
    case UploadOutcome::OutputFailed:
    case UploadOutcome::Busy:
        return kUploadExitUsage;
    case UploadOutcome::PortOpenFailed:
    case UploadOutcome::Disconnected:
        return kUploadExitPort;
    case UploadOutcome::TimedOut:
        return kUploadExitTimeout;
    case UploadOutcome::Refused:
        return kUploadExitRefused;
    case UploadOutcome::DecodeFailed:
        return kUploadExitDecode;
    case UploadOutcome::WriteFailed:
        return kUploadExitFile;
    case UploadOutcome::Cancelled:
        return kUploadExitInterrupted;
    }
    return kUploadExitUsage;
}
