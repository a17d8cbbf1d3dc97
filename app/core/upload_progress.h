#pragma once

#include "app/core/message_table.h"

#include <QLocale>
#include <QString>

// What an upload has done so far, for the window's status line: the bit-rate agreement of a
// serial line, then the packets and bytes that came.
struct UploadProgress {
    bool Connecting = false; // serial line: the bit rate is being agreed
    int LineRate = 0;        // bit/s the line runs at while it is agreed
    int Attempt = 0;         // the attempt under way, from 1
    int Attempts = 0;
    int Packets = 0; // packets whose data went into the upload's files
    qint64 Bytes = 0;
    qint64 ElapsedMs = 0;      // since the upload began (until it ended)
    double BytesPerSecond = 0; // since the first packet; 0 until a second one came
};

// The status line: MsgStatusConnecting while the rate is agreed, MsgStatusWaiting until the
// first packet, then MsgStatusReceiving with the figures (numbers as Locale writes them, the
// time as m:ss).
QString UploadStatusText(const UploadProgress& Progress, const MessageTable& Messages,
                         const QLocale& Locale = QLocale());
