// Fiscal-memory uploads (Detail, Summary, header, footer) and the EPROM change-data upload:
// their request builders and packet handlers. Each writes the raw data of the accepted
// packets to the .hex file, in order, once per sequence byte.

#include "link/bsport.h"
#include "link/status_texts.h"

#include <algorithm>

namespace {

constexpr std::uint8_t kEndMarker = 0xA5;

// The last packet of a fiscal-memory upload carries 0xA5 at data position 254 or 255. Only
// data the packet really carries counts: a shorter packet has no such positions.
bool HasEndMarker(const QByteArray& Data) {
    const auto at = [&](qsizetype i) {
        return i < Data.size() && static_cast<std::uint8_t>(Data[i]) == kEndMarker;
    };
    return at(254) || at(255);
}

} // namespace

void TBsPort::BuildFiscalMemoryRequest() {
    if (m_endMarkerSeen || RequestPending != 0)
        return;
    if (m_sessionResult == 0)
        SetSessionResult(1);
    CommandRow& row = Commands[CurrentCommand];
    row[6] = BlockCounter >> 8;
    row[7] = BlockCounter & 0xFF;
    BumpSequence(CurrentCommand);
    const int count = std::clamp(RequestDataLen, 0, kMaxRequestDataLength);
    SendFrame(row, RequestData.data(), true, count);
    RequestPending = 1;
}

void TBsPort::BuildEpromRequest() {
    if (RequestPending != 0)
        return;
    if (m_sessionResult == 0)
        SetSessionResult(1);
    CommandRow& row = Commands[CurrentCommand];
    row[6] = BlockCounter & 0xFF;
    row[7] = BlockCounter >> 8;
    BumpSequence(CurrentCommand);
    RequestData[0] = 0xFF;
    RequestData[1] = 0xFF;
    RequestData[2] = 0x00;
    SendFrame(row, RequestData.data(), true, 2);
    RequestPending = 1;
}

void TBsPort::HandleFiscalMemoryPacket(const DeviceFrame& Frame) {
    // Packets after the end, after a refusal or after a failure have no file to go to.
    if (FileState != 2 || !m_outputFile.isOpen())
        return;
    const QByteArray& data = Frame.Data;
    // Only the answer to the request in flight can end the upload: a late copy of the final
    // packet of an earlier exchange (the header's, when the footer follows) must neither end
    // this one nor land in its file.
    const bool answersCurrent = Frame.Sequence == SequenceByte(CurrentCommand);
    if (answersCurrent && IgnoreAsLateCopy(Frame))
        return;
    if (HasEndMarker(data) && answersCurrent) {
        m_endMarkerSeen = true;
        if (CurrentCommand == H_UPLOAD_Header || CurrentCommand == H_UPLOAD_Footer) {
            if (OnProgressDot)
                OnProgressDot(ProgressDotKind::Unlimited);
        }
        const QString finish = CurrentCommand == H_UPLOAD_Detail
                                   ? LinkStatusText(LinkText::DetailDone)
                                   : LinkStatusText(LinkText::SummaryDone);
        // The final packet is written even when its sequence byte is that of the packet
        // written before it.
        if (!AppendOutput(data))
            return;
        RememberAccepted(Frame);
        if (!FlushOutput())
            return;
        FinishText = finish;
        ReportStatus(finish, StatusKind::Completion);
        EndSession(SessionEnd::Finished, 3);
        return;
    }

    // Only the answer to the request in flight moves the upload on. A late copy of an
    // earlier answer (the device answered a request and then its retransmission) is neither
    // written nor allowed to release another request: that extra request would fetch the
    // same block under a new sequence byte and the block would land in the file twice.
    if (answersCurrent && Frame.Sequence != LastWrittenSeq) {
        if (!AppendOutput(data))
            return;
        RememberAccepted(Frame);
        LastWrittenSeq = Frame.Sequence;
        const qsizetype n = data.size();
        const int next = BlockCounter + (n <= 256 ? 1 : int(n / 256));
        if (next > 0xFFFF) {
            // A request names 16-bit block numbers: going on would ask for block 0 again and
            // append the memory's start once more. What arrived stays in the file.
            if (!FlushOutput())
                return;
            ReportStatus(LinkStatusText(LinkText::NoEndMarker, BlockCounter));
            EndSession(SessionEnd::Overrun, 2);
            return;
        }
        BlockCounter = static_cast<std::uint16_t>(next);
    }
    // A repeated packet still shows progress: the device did answer.
    if (OnProgressDot)
        OnProgressDot(CurrentCommand == H_UPLOAD_Detail ? ProgressDotKind::Limited
                                                        : ProgressDotKind::Unlimited);
    if (answersCurrent)
        PacketAccepted();
}

void TBsPort::HandleEpromPacket(const DeviceFrame& Frame) {
    if (FileState != 2 || !m_outputFile.isOpen())
        return;
    const QByteArray& data = Frame.Data;
    // Every answer echoes its request's sequence byte, the one that ends the upload too: a
    // stale empty answer (a datagram of an earlier request) must not cut the data short.
    if (Frame.Sequence != SequenceByte(CurrentCommand) || IgnoreAsLateCopy(Frame))
        return;
    if (data.isEmpty() || PageCount >= kEpromBlocks) {
        // The packet that ends the upload is not written.
        FinishText = LinkStatusText(LinkText::EpromDone);
        BytesReceived = 0;
        const bool flushed = m_outputFile.flush();
        m_outputFile.close();
        FileState = 0;
        if (!flushed) {
            ReportStatus(LinkStatusText(LinkText::WriteFailed, m_outputFile.fileName()));
            EndSession(SessionEnd::FileFailed, 2);
            return;
        }
        ReportStatus(FinishText, StatusKind::Completion);
        EndSession(SessionEnd::Finished, 3);
        return;
    }
    if (Frame.Sequence != LastWrittenSeq) {
        if (!AppendOutput(data))
            return;
        RememberAccepted(Frame);
        BytesReceived += static_cast<int>(data.size());
        LastWrittenSeq = Frame.Sequence;
        BlockCounter = static_cast<std::uint16_t>(BlockCounter + 1);
        PageCount += 1;
        if (OnProgressStep)
            OnProgressStep();
        if (OnProgressDot)
            OnProgressDot(ProgressDotKind::Limited);
        // A block arrived: the line is alive, so the time-out starts afresh (otherwise a
        // slow but steady upload would run out of retries while still progressing).
        PacketAccepted();
    } else if (RequestPending == 1) {
        RequestPending = 0;
    }
}

bool TBsPort::IgnoreAsLateCopy(const DeviceFrame& Frame) {
    if (!m_earlierAnswers.IsLateCopy(Frame.Sequence, Frame.Data, Now()))
        return false;
    if (m_lateCopyAtResend && m_resends > *m_lateCopyAtResend) {
        // Asked once more, the device gave the same bytes: they are its answer. Whatever
        // else matches the earlier exchange is taken as it comes, so this costs one time-out
        // at most.
        m_earlierAnswers.Forget();
        return false;
    }
    if (!m_lateCopyAtResend) {
        m_lateCopyAtResend = m_resends;
        ReportStatus(LinkStatusText(LinkText::LateCopyIgnored, Frame.Sequence));
    }
    return true;
}

void TBsPort::RememberAccepted(const DeviceFrame& Frame) {
    // A request sent more than once can have its answer come once per sending: the last copy
    // about a time-out after the first. Otherwise only a duplicate on the way (a network's, a
    // device's own) can follow, and soon.
    const qint64 copiesFor = m_resends > 0
                                 ? std::max<qint64>(2 * qint64(AckTimeout), kLateCopyWindowMs)
                                 : kLateCopyWindowMs;
    m_earlierAnswers.Remember(Frame.Sequence, Frame.Data, Now(), copiesFor);
}

// ---------------------------------------------------------------------------------------
// Dispatch tables: the request builder and packet handler of every command that has one.
// The report uploads live in bsport_reports.cpp, the memory dumps in bsport_dumps.cpp, the
// device check and program downloads in bsport_downloads.cpp.

TBsPort::RequestBuilder TBsPort::BuilderFor(TEnumVarnCmd Cmd) {
    switch (Cmd) {
    case H_UPLOAD_Detail:
    case H_UPLOAD_Summary:
    case H_UPLOAD_Header:
    case H_UPLOAD_Footer:
        return &TBsPort::BuildFiscalMemoryRequest;
    case H_UPLOAD_EPROM:
        return &TBsPort::BuildEpromRequest;
    case H_UPLOAD_CLERKRPT:
    case H_UPLOAD_PERIOD:
    case H_UPLOAD_XRPT:
    case H_UPLOAD_ZRPT:
        return &TBsPort::BuildPlainReportRequest;
    case H_UPLOAD_BC:
        return &TBsPort::BuildBlockReportRequest;
    case H_UPLOAD_FISCAL:
        return &TBsPort::BuildFiscalReportRequest;
    case H_UPLOAD_ROM:
    case H_UPLOAD_RAM:
    case H_UP_NANDFLASH:
        return &TBsPort::BuildDumpRequest;
    case H_PROGRAM64K:
    case H_PROGRAM60K:
        return &TBsPort::BuildProgramPacket;
    default:
        return nullptr;
    }
}

TBsPort::PacketHandler TBsPort::HandlerFor(TEnumVarnCmd Cmd) {
    switch (Cmd) {
    case H_UPLOAD_Detail:
    case H_UPLOAD_Summary:
    case H_UPLOAD_Header:
    case H_UPLOAD_Footer:
        return &TBsPort::HandleFiscalMemoryPacket;
    case H_UPLOAD_EPROM:
        return &TBsPort::HandleEpromPacket;
    case H_UPLOAD_CLERKRPT:
    case H_UPLOAD_PERIOD:
    case H_UPLOAD_XRPT:
    case H_UPLOAD_ZRPT:
        return &TBsPort::HandleClerkLikePacket;
    case H_UPLOAD_BC:
    case H_UPLOAD_FIN:
    case H_UPLOAD_PDEP:
    case H_UPLOAD_PFIN:
        return &TBsPort::HandleStreamedReportPacket;
    case H_UPLOAD_FISCAL:
        return &TBsPort::HandleFiscalReportPacket;
    case H_UPLOAD_COMDATA:
        return &TBsPort::HandleComDataPacket;
    case H_CHK_ECR:
        return &TBsPort::HandleDeviceCheckAnswer;
    case H_UPLOAD_ROM:
    case H_UPLOAD_RAM:
    case H_UP_NANDFLASH:
        return &TBsPort::HandleDumpPacket;
    default:
        return nullptr;
    }
}
