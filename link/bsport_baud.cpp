// Bit-rate agreement of a serial session and the start of the requested command.

#include "link/bsport.h"
#include "link/status_texts.h"

#include <QAbstractEventDispatcher>
#include <QTimer>

void TBsPort::ResetCommandTable(int Address) {
    Commands = DefaultCommandTable();
    const auto a = static_cast<std::uint32_t>(Address);
    for (CommandRow& row : Commands) {
        row[0] = a & 0xFF;
        row[1] = (a >> 8) & 0xFF;
        row[2] = (a >> 16) & 0xFF;
        row[3] = (a >> 24) & 0xFF;
        row[8] = 0;
    }
}

void TBsPort::BeginSession(int Address, int BaudIndex, bool StartAt9600) {
    OpenSession();
    m_startDueAt.reset();
    // Nothing received before this session can answer it: a frame an earlier exchange left
    // unfinished (an answer cut off when its device stopped) would swallow the first answers,
    // and a late copy of an earlier exchange's final packet may carry the very sequence byte
    // of this session's first request (every exchange counts from the device's value again).
    if (!m_parsing) {
        m_finder.Reset();
        if (LinkTransport* line = ActiveTransport(); line && line->IsOpen())
            line->DiscardInput();
    }
    if (!LineAgreesBitRate()) {
        SetSessionResult(0);
        CurrentCommand = EnumVarnCmd;
        // Answers must echo the running command's sequence byte.
        CheckedCommand = CurrentCommand;
        // Time-outs run from the first request on; a UDP session has no H_SETBAUD step that
        // would set them, and 0 would make every tick an expiry.
        AckTimeout = static_cast<std::uint32_t>(AckTimeoutMs);
        LinkTransport* line = ActiveTransport();
        if (line && line->IsDatagram() && !line->IsOpen())
            line->Open(); // a failure is reported through the line's OnOpened
        return;
    }
    EcrAddress = Address;
    ResetCommandTable(Address);
    SetSessionResult(0);
    BaudReady = false;
    if (BaudIndex < 0 || BaudIndex >= kBaudRateCount)
        BaudIndex = kBaudIndex9600;
    if (StartAt9600) {
        ApplyLineRate(kBaudIndex9600);
        LineBaudIndex = kBaudIndex9600;
    } else {
        ApplyLineRate(BaudIndex);
    }
    TargetBaudIndex = BaudIndex;
    ReportStatus(LinkStatusText(LinkText::TryBaudRate, BaudIndex));
    Commands[H_SETBAUD][6] = BaudDivisors[TargetBaudIndex];
    CurrentCommand = H_SETBAUD;
    LinkState = 'L';
    CheckedCommand = H_SETBAUD;
    AckTimeout = static_cast<std::uint32_t>(BaudTimeoutMs);
    SentAt = Now();
    Commands[H_SETBAUD][8] = 0;
    SendFrame(Commands[H_SETBAUD], nullptr, true, 0);
    Renegotiate = false;
}

void TBsPort::CheckBaudTimeout() {
    const qint64 now = Now();
    if (!TimeoutExpired(now))
        return;
    RetriesLeft -= 1;
    ReportStatus(LinkStatusText(LinkText::BaudTimeoutRetry, AckTimeout, RetriesLeft));
    SentAt = now;
    if (RetriesLeft > 0) {
        SetSessionResult(1);
        // Alternate: the device may still listen at 9600 or already at 115200.
        LineBaudIndex = LineBaudIndex == kBaudIndex115200 ? kBaudIndex9600 : kBaudIndex115200;
        ApplyLineRate(LineBaudIndex);
        Renegotiate = true;
        return;
    }
    DownloadState = -1;
    ReportStatus(LinkStatusText(LinkText::BaudAckFailed));
    EndSession(SessionEnd::RateFailed, 2);
}

void TBsPort::OnSetBaudAcknowledged() {
    if (BaudReady)
        return; // a repeated acknowledge of the same request
    SetSessionResult(1);
    if (!IsModem)
        ApplyLineRate(TargetBaudIndex);
    BaudReady = true;
    LineBaudIndex = TargetBaudIndex;
    AckTimeout = static_cast<std::uint32_t>(AckTimeoutMs);
    const bool longUpload = ReportKind == 1 || ReportKind == 2 || EnumVarnCmd == H_UPLOAD_PLU ||
                            EnumVarnCmd == H_UPLOAD_DEP || EnumVarnCmd == H_UPLOAD_CLERKRPT ||
                            EnumVarnCmd == H_UPLOAD_PERIOD;
    RetriesLeft = longUpload ? LongRetries : kDefaultRetries;
    // The acknowledge is an answer: the time-out starts afresh, so a tick while the line
    // settles cannot take the old H_SETBAUD period as expired and send H_SETBAUD again.
    SentAt = Now();
    // The device switches its own line after acknowledging; give it a moment before the
    // first request at the new rate. The wait is a timer, never a blocking pause.
    m_startDueAt = Now() + kBaudSettleMs;
    if (QAbstractEventDispatcher::instance(thread()))
        m_startTimer->start(kBaudSettleMs);
}

void TBsPort::RunDueStart() {
    if (!m_startDueAt || Now() < *m_startDueAt)
        return;
    m_startDueAt.reset();
    m_startTimer->stop();
    FinishBaudAgreement();
}

void TBsPort::FinishBaudAgreement() {
    if (LinkState != 'L' || CurrentCommand != H_SETBAUD)
        return; // the session ended (or was restarted) while the line settled
    if (StopAfter == 2) {
        if (IsModem)
            BaudReady = false;
        ReportStatus(LinkStatusText(LinkText::BaudRateSet), StatusKind::Completion);
        EndSession(SessionEnd::Finished, 3);
        return;
    }
    PerformStartAction(EnumVarnCmd);
    CheckedCommand = CurrentCommand;
    // The first request goes out now rather than at the next tick, and its time-out runs
    // from now: counted from PrepareCommand, a negotiation that needed a retry or two would
    // leave the first request already expired and resent the moment it went out.
    SentAt = Now();
    if (LinkState == 'L')
        SendRequest();
}

void TBsPort::PerformStartAction(TEnumVarnCmd Cmd) {
    switch (TemplateOf(Cmd).After) {
    case StartAction::None:
        break;
    case StartAction::DeviceCheckFirst:
        BumpSequence(Cmd);
        BumpSequence(H_CHK_ECR);
        CurrentCommand = H_CHK_ECR;
        SendFrame(Commands[H_CHK_ECR], nullptr, true, 0);
        break;
    case StartAction::DownloadStart:
        CurrentCommand = Cmd;
        DownloadState = 0;
        break;
    case StartAction::UploadStart:
        // Preparing an X or Z report leaves H_UPLOAD_DEP in EnumVarnCmd with the report kind
        // beside it; the report itself is what runs, since H_UPLOAD_DEP has no exchange.
        if (Cmd == H_UPLOAD_DEP && (ReportKind == 1 || ReportKind == 2))
            Cmd = ReportKind == 1 ? H_UPLOAD_XRPT : H_UPLOAD_ZRPT;
        CurrentCommand = Cmd;
        RequestPending = 0;
        break;
    case StartAction::EpromStart:
        BlockCounter = kEpromFirstBlock;
        CurrentCommand = H_UPLOAD_EPROM;
        RequestPending = 0;
        break;
    case StartAction::CurrentOnly:
        CurrentCommand = H_DOWNLOAD_PPLU;
        break;
    case StartAction::SendUpTrTaskOk:
        CurrentCommand = H_DN_UpTrTaskOk;
        CheckedCommand = H_DN_UpTrTaskOk;
        LinkState = 'L';
        SentAt = Now();
        BumpSequence(H_DN_UpTrTaskOk);
        SendFrame(Commands[H_DN_UpTrTaskOk], nullptr, true, 0);
        break;
    }
}
