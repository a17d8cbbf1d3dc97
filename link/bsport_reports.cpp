// Report uploads of the command set: clerk, hourly, X and Z reports (request by request, with
// busy answers), the broadcast and financial reports (packets counted as they come), the
// fiscal report, and the H_UPLOAD_COMDATA and H_DN_UpTrTaskOk exchanges that close some of
// them. Every report writes the data of its packets to the output file in arrival order.

#include "link/bsport.h"
#include "link/status_texts.h"

#include <algorithm>
#include <optional>

namespace {

constexpr std::uint8_t kBusyMark = 0xFF;     // empty answer, byte 8: the device is busy
constexpr std::uint8_t kZErrorMark = 0xFE;   // empty Z answer, byte 8: Z report not possible
constexpr std::uint8_t kFiscalLastMark = 15; // byte 7 of the fiscal report's last answer
constexpr int kFiscalShortParams = 4;

// How a report that asks packet by packet behaves.
struct ClerkLikeRule {
    int Threshold; // the report is complete once this many bytes arrived
    LinkText Busy; // status text of a busy answer
    std::optional<LinkText> Finish;
};

ClerkLikeRule ClerkRule(TEnumVarnCmd Cmd) {
    switch (Cmd) {
    case H_UPLOAD_PERIOD:
        return {192, LinkText::BusyHourlyReport, LinkText::HourlyReportDone};
    case H_UPLOAD_XRPT:
        return {685, LinkText::BusyXReport, std::nullopt};
    case H_UPLOAD_ZRPT:
        return {685, LinkText::BusyZReport, LinkText::ZReportDone};
    default:
        return {64, LinkText::BusyClerkReport, LinkText::ClerkReportDone};
    }
}

QString FinishOf(const ClerkLikeRule& Rule) {
    return Rule.Finish ? LinkStatusText(*Rule.Finish) : QString();
}

// Reports whose packets are counted as they come.
struct StreamedRule {
    int Threshold;
    LinkText Finish;
};

StreamedRule StreamRule(TEnumVarnCmd Cmd) {
    switch (Cmd) {
    case H_UPLOAD_FIN:
        return {464, LinkText::FinancialReportDone};
    case H_UPLOAD_PDEP:
        return {16, LinkText::PeriodDepartmentReportDone};
    case H_UPLOAD_PFIN:
        return {290, LinkText::PeriodFinancialReportDone};
    default:
        return {3, LinkText::BroadcastDone};
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Request builders

void TBsPort::BuildPlainReportRequest() {
    if (RequestPending != 0)
        return;
    BumpSequence(CurrentCommand);
    SendFrame(Commands[CurrentCommand], nullptr, true, 0);
    RequestPending = 1;
}

void TBsPort::BuildBlockReportRequest() {
    if (RequestPending != 0)
        return;
    CommandRow& row = Commands[CurrentCommand];
    row[6] = BlockCounter >> 8;
    row[7] = BlockCounter & 0xFF;
    BumpSequence(CurrentCommand);
    SendFrame(row, nullptr, true, 0);
    RequestPending = 1;
}

void TBsPort::BuildFiscalReportRequest() {
    if (RequestPending != 0)
        return;
    std::fill(RequestData.begin(), RequestData.end(), std::uint8_t{0});
    int count = 0;
    if (FiscalMode == 0)
        count = kFiscalShortParams;
    else if (FiscalMode == 1)
        count = static_cast<int>(FiscalParams.size());
    std::copy_n(FiscalParams.begin(), count, RequestData.begin());
    BumpSequence(CurrentCommand);
    SendFrame(Commands[CurrentCommand], RequestData.data(), true, count);
    RequestPending = 1;
}

// ---------------------------------------------------------------------------------------
// Packet handlers

// Ends the running report: nothing more is requested and the file is complete.
void TBsPort::EndReport(SessionEnd End, const QString& Finish) {
    const bool flushed = !m_outputFile.isOpen() || m_outputFile.flush();
    m_outputFile.close();
    FileState = 0;
    if (!Finish.isEmpty()) {
        FinishText = Finish;
        ReportStatus(Finish, StatusKind::Completion);
    }
    if (!flushed) {
        ReportStatus(LinkStatusText(LinkText::WriteFailed, m_outputFile.fileName()));
        End = SessionEnd::FileFailed;
    }
    EndSession(End, End == SessionEnd::Finished ? 3 : 2);
}

void TBsPort::HandleClerkLikePacket(const DeviceFrame& Frame) {
    const TEnumVarnCmd cmd = CurrentCommand;
    const ClerkLikeRule rule = ClerkRule(cmd);
    const QByteArray& data = Frame.Data;
    if (data.isEmpty()) {
        if (Frame.Param2 == kBusyMark) {
            // The device cannot serve the report now; the request is repeated at the next
            // expiry until it can, or until the retries run out.
            DeviceBusy = 1;
            ReportStatus(LinkStatusText(rule.Busy));
            return;
        }
        DeviceBusy = 0;
        StatusText.clear();
        if (cmd == H_UPLOAD_ZRPT && Frame.Param2 == kZErrorMark) {
            ReportStatus(LinkStatusText(LinkText::ZReportError94));
            EndReport(SessionEnd::NotPossible, QString());
            return;
        }
        // No more data: the report is over.
        EndReport(SessionEnd::Finished, cmd == H_UPLOAD_ZRPT ? FinishOf(rule) : QString());
        return;
    }

    StatusText.clear();
    if (Frame.Sequence == LastWrittenSeq)
        return; // the same packet again: already in the file, and its request already answered
    if (!AppendOutput(data))
        return;
    BytesReceived += static_cast<int>(data.size());
    LastWrittenSeq = Frame.Sequence;
    if (BytesReceived < rule.Threshold) {
        PacketAccepted();
        return;
    }

    BytesReceived = 0;
    LastWrittenSeq = -1;
    switch (cmd) {
    case H_UPLOAD_ZRPT:
        EndReport(SessionEnd::Finished, FinishOf(rule));
        return;
    case H_UPLOAD_XRPT: {
        // The X report goes on with the period financial report, which the device sends
        // packet after packet with rising sequence numbers from the X report's last one.
        Commands[H_UPLOAD_PFIN][8] = Commands[H_UPLOAD_XRPT][8];
        EnumVarnCmd = H_UPLOAD_PFIN;
        CurrentCommand = H_UPLOAD_PFIN;
        CheckedCommand = H_UPLOAD_PFIN;
        RequestPending = 0;
        RetriesLeft = kDefaultRetries;
        SentAt = Now();
        return;
    }
    default:
        FinishText = FinishOf(rule);
        StartComDataFollowUp();
        return;
    }
}

void TBsPort::HandleStreamedReportPacket(const DeviceFrame& Frame) {
    const QByteArray& data = Frame.Data;
    if (data.isEmpty())
        return;
    if (!AppendOutput(data))
        return;
    // Each packet carries the next sequence number; the next one must echo it.
    BumpSequence(CurrentCommand);
    BytesReceived += static_cast<int>(data.size());
    const StreamedRule rule = StreamRule(CurrentCommand);
    if (BytesReceived >= rule.Threshold) {
        BytesReceived = 0;
        EndReport(SessionEnd::Finished, LinkStatusText(rule.Finish));
        return;
    }
    PacketAccepted();
}

void TBsPort::HandleFiscalReportPacket(const DeviceFrame& Frame) {
    const QByteArray& data = Frame.Data;
    const bool last = Frame.Param1 == kFiscalLastMark;
    if (!data.isEmpty()) {
        if (Frame.Sequence != LastWrittenSeq) {
            if (!AppendOutput(data))
                return;
            BytesReceived += static_cast<int>(data.size());
            LastWrittenSeq = Frame.Sequence;
        }
        // The requests after the first packet ask for the continuation.
        Commands[H_UPLOAD_FISCAL][7] = 1;
    } else if (!last || RequestPending == -1) {
        return;
    }
    if (last) {
        BytesReceived = 0;
        LastWrittenSeq = -1;
        FinishText = LinkStatusText(LinkText::FiscalReportDone);
        StartComDataFollowUp();
        return;
    }
    PacketAccepted();
}

// ---------------------------------------------------------------------------------------
// Follow-up exchanges

void TBsPort::StartComDataFollowUp() {
    CurrentCommand = H_UPLOAD_COMDATA;
    CheckedCommand = H_UPLOAD_COMDATA;
    LinkState = 'L';
    SentAt = Now();
    RetriesLeft = kDefaultRetries;
    BumpSequence(EnumVarnCmd);
    Commands[H_UPLOAD_COMDATA][8] = (Commands[EnumVarnCmd][8] + 1) & 0xFFFF;
    SendFrame(Commands[H_UPLOAD_COMDATA], nullptr, true, 0);
}

void TBsPort::HandleComDataPacket(const DeviceFrame& Frame) {
    const QByteArray& data = Frame.Data;
    if (data.isEmpty())
        return;
    if (Frame.Sequence != LastWrittenSeq) {
        if (!AppendOutput(data))
            return;
        BytesReceived += static_cast<int>(data.size());
        LastWrittenSeq = Frame.Sequence;
    }
    const QString finish = FinishText;
    if (EnumVarnCmd == H_UPLOAD_TRADE) {
        RequestPending = -1;
        const bool flushed = m_outputFile.flush();
        m_outputFile.close();
        FileState = 0;
        ReportStatus(finish, StatusKind::Completion);
        StatusText = finish;
        if (!flushed) {
            EndSession(SessionEnd::FileFailed, 2);
            return;
        }
        // The upload is complete; the session goes on with the task-done exchange.
        SetSessionResult(5);
        StartUpTrTaskOkFollowUp();
        return;
    }
    EndReport(SessionEnd::Finished, finish);
    StatusText = finish;
}

void TBsPort::StartUpTrTaskOkFollowUp() {
    CurrentCommand = H_DN_UpTrTaskOk;
    CheckedCommand = H_DN_UpTrTaskOk;
    LinkState = 'L';
    SentAt = Now();
    BumpSequence(H_DN_UpTrTaskOk);
    SendFrame(Commands[H_DN_UpTrTaskOk], nullptr, true, 0);
}
