#pragma once

#include "archive/disc_checksums.h"

#include <QList>
#include <QString>

#include <atomic>
#include <optional>

namespace burn {
struct burn_drive;
}

// What reading a session back found.
struct DiscCheckResult {
    bool Ok = false;
    int FilesMatched = 0; // archived files that match (the checksum list itself not counted)
    QString BadFile;      // the first file that differs, is missing or cannot be read
    QString Reason;       // what is wrong, in one line
};

// Reads the session that starts at StartLba back from a grabbed drive (an optical drive or a
// "stdio:" image file) and checks it:
// - every file of Expected (or, without it, of the disc's own SHA256SUMS) is on the disc with
//   that SHA-256, and no other file is;
// - every file's recorded MD5 sum and the session's MD5 sum match what is read.
// The data is read once, in disc order. BytesRead grows as it goes; Cancel ends the reading
// early (the result then fails). Runs on any one thread; the drive must not be used meanwhile.
DiscCheckResult CheckSession(burn::burn_drive* Drive, int StartLba,
                             const std::optional<QList<ChecksumEntry>>& Expected,
                             std::atomic<qint64>& BytesRead, const std::atomic<bool>& Cancel);
