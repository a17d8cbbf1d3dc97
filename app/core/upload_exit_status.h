#pragma once

#include "app/core/upload_action.h"

// Exit statuses of a headless upload. Scripts branch on them, so they never change meaning.
enum UploadExitStatus {
    kUploadExitOk = 0,
    kUploadExitUsage = 2,         // bad usage, bad range, output file, another upload running
    kUploadExitPort = 3,          // the port (or the UDP echo socket) cannot be opened
    kUploadExitTimeout = 4,       // no answer, or the link gave up
    kUploadExitRefused = 5,       // the device refused a request
    kUploadExitDecode = 6,        // uploaded, but the report could not be made
    kUploadExitInterrupted = 130, // cancelled (Ctrl-C); the partial .hex file stays
};

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
        return kUploadExitPort;
    case UploadOutcome::TimedOut:
        return kUploadExitTimeout;
    case UploadOutcome::Refused:
        return kUploadExitRefused;
    case UploadOutcome::DecodeFailed:
        return kUploadExitDecode;
    case UploadOutcome::Cancelled:
        return kUploadExitInterrupted;
    }
    return kUploadExitUsage;
}
