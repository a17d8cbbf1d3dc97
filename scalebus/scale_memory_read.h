#pragma once

// Reads a scale's whole memory over a scale bus link: connect to scale 1234, 2048 blocks of
// 256 bytes, finish, write the 524288 bytes to a file. The window's hidden test command and
// the command-line "scale-read" both run this; each shows the steps its own way through the
// hooks.

#include "scalebus/varn_ibus.h"

#include <QString>

#include <functional>

namespace scalebus {

inline constexpr long long kTestScaleNo = 1234;
inline constexpr int kScaleMemoryBlocks = 2048;
inline constexpr qint64 kScaleMemoryBytes = qint64(kScaleMemoryBlocks) * kDataSize;

// Status texts of the read (fixed; not taken from the language file).
inline constexpr const char* kStatusConnect = "Connect...";
inline constexpr const char* kStatusConnectError = "Connect...Error!";
inline constexpr const char* kStatusReceive = "Receive Data...";
inline constexpr const char* kStatusReceiveError = "Receive Data...Error!";
inline constexpr const char* kStatusDisconnect = "Disconnect...";

struct ScaleMemoryReadHooks {
    // A status line; Error marks a failure the operator must acknowledge.
    std::function<void(bool Error, const QString& Text)> SetStatus;
    // The number of blocks to read, then the number of the block being read (1-based).
    std::function<void(int Total)> SetMargin;
    std::function<void(int Current)> SetProgress;
    // Called after an error status: returns when the operator has acknowledged it (the
    // window waits for OK; a headless caller returns at once).
    std::function<void()> WaitForOperator;
};

enum class ScaleReadOutcome {
    Written,       // all blocks read and the file written
    ConnectFailed, // Connect failed (or was cancelled)
    BlockFailed,   // a block read failed (or was cancelled); nothing written
    WriteFailed,   // all blocks read, the file could not be written
};

struct ScaleReadResult {
    ScaleReadOutcome Outcome = ScaleReadOutcome::ConnectFailed;
    int FailedBlock = -1; // 0-based block that failed (BlockFailed)
    QString WriteError;   // why the file could not be written (WriteFailed)
};

// Runs the read of scale ScaleNo (the window's test command reads kTestScaleNo) on Link as it
// is set up (mode, address or port; a serial port must already be open through
// SetActive(true)). Ends with Link.SetActive(false) in every case. TargetFile is replaced only
// by a complete read.
ScaleReadResult ReadScaleMemory(TVarnIBusComm& Link, long long ScaleNo, const QString& TargetFile,
                                const ScaleMemoryReadHooks& Hooks);

} // namespace scalebus
