#pragma once

// Every text the link reports through OnStatus or leaves in StatusText / FinishText, in one
// table (status_texts.cpp). The wording is what devices' operators and scripts have always
// seen, so it changes here or nowhere; %1, %2 are filled in by LinkStatusText.

#include <QString>

#include <concepts>
#include <cstdint>

enum class LinkText : std::uint8_t {
    // Sending and receiving.
    BadRequestDataLength, // request data longer than a frame may carry
    SendFailed,
    NoTransport, // the reason SendFailed gives when the link has no line
    ReceivedChunk,
    BadHeaderSum,
    FrameTooLong,
    BadFrameCrc,
    Refused,
    LateCopyIgnored, // a packet an earlier exchange accepted came again
    // Files.
    CannotOpenFile,
    CannotCreateFile,
    WriteFailedReason,
    WriteFailed,
    ReadFailed,
    // Time-outs and bit-rate agreement.
    AckTimeoutRetry,
    AckFailed,
    UdpOpenFailed,
    TryBaudRate,
    BaudTimeoutRetry,
    BaudAckFailed,
    BaudRateSet,
    // Device check and program downloads.
    BadDeviceVersion,
    ReceiptOpenOrZDue,
    ZReportDue,
    ProgramFileTooShort,
    ProgramFileBadVersion,
    Program64KDone,
    Program60KDone,
    DeviceVersion,
    ProgramVersion,
    ProgramAddress,
    // Uploads finished.
    DetailDone,
    SummaryDone,
    EpromDone,
    RomDone,
    RamDone,
    NandFlashDone,
    FiscalReportDone,
    HourlyReportDone,
    ZReportDone,
    ClerkReportDone,
    FinancialReportDone,
    PeriodDepartmentReportDone,
    PeriodFinancialReportDone,
    BroadcastDone,
    // Reports the device cannot give now.
    BusyHourlyReport,
    BusyXReport,
    BusyZReport,
    BusyClerkReport,
    ZReportError94,
    // A device that never marks its last block.
    NoEndMarker,
    // The line went away under the link.
    LineDisconnected,
    // A frame whose rest never came was given up and its bytes searched again.
    FrameOverdue,
};

// The text of Id with its %N markers.
QString LinkStatusText(LinkText Id);

// The text of Id with %1, %2 ... filled from Args in order. Strings are put in together, so a
// file name that contains "%2" stays as it is.
template <typename... Args> QString LinkStatusText(LinkText Id, const Args&... Values) {
    if constexpr ((std::convertible_to<const Args&, QString> && ...))
        return LinkStatusText(Id).arg(QString(Values)...);
    else {
        QString text = LinkStatusText(Id);
        ((text = text.arg(Values)), ...);
        return text;
    }
}
