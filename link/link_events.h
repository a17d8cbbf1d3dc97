#pragma once

#include <QLoggingCategory>
#include <QString>

// Frame trace: every frame the link sends or receives, as a hex dump at debug level.
// Off by default; enable with QT_LOGGING_RULES="orvexfm.link.frames.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcLinkFrames)

enum class FrameDirection { Sent, Received };

// Kinds of status text a link reports. Owners that print status usually skip ReceivedChunk:
// there is one such line for every chunk of bytes that arrives.
enum class StatusKind {
    Info,          // protocol events: bit rate, time-outs, refusals, checksum errors
    Completion,    // an exchange finished (the text is also kept in FinishText where it was)
    ReceivedChunk, // "receive data(len=%d):%s" for each received chunk
};

// How a received packet marks progress in the owner's progress text.
enum class ProgressDotKind {
    // Detail and EPROM uploads: a dot is appended while the text is at most 100 characters
    // long; a longer text is emptied instead, so the line never grows without bound.
    Limited,
    // Summary, header and footer uploads: a dot is appended, no limit.
    Unlimited,
};

inline constexpr int kProgressDotLimit = 100;

// The progress text after one more dot of the given kind.
inline QString ApplyProgressDot(const QString& Text, ProgressDotKind Kind) {
    if (Kind == ProgressDotKind::Limited && Text.size() > kProgressDotLimit)
        return QString();
    return Text + QLatin1Char('.');
}

// Hex dump used by traces and status texts: two lowercase digits and a blank per byte.
QString HexDump(const QByteArray& Bytes);
