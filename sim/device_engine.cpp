#include "sim/device_engine.h"

#include <QStringList>

#include <algorithm>

using namespace simcmd;

namespace {

bool IsEndBlock(const QByteArray& Block) {
    return static_cast<std::uint8_t>(Block[254]) == kEndMarker ||
           static_cast<std::uint8_t>(Block[255]) == kEndMarker;
}

// Clears the end marker positions of the first Count 256-byte blocks.
void ClearEndMarkers(QByteArray& Blocks, qsizetype Count) {
    for (qsizetype b = 0; b < Count; ++b) {
        for (int at : {254, 255}) {
            if (static_cast<std::uint8_t>(Blocks[b * kBlockSize + at]) == kEndMarker)
                Blocks[b * kBlockSize + at] = '\0';
        }
    }
}

// 115200 divided by the H_SETBAUD divisor, for the divisors a device knows.
int RateForDivisor(int Divisor) {
    switch (Divisor) {
    case 96:
    case 48:
    case 24:
    case 12:
    case 6:
    case 3:
    case 2:
    case 1:
        return 115200 / Divisor;
    default:
        return 0;
    }
}

} // namespace

QByteArray DeviceAreas::ExpectedHex(ReportKind Kind) const {
    const ReportKindInfo& kind = ReportKindOf(Kind);
    if (kind.NeedsHeaderFooter)
        return ToFiscalBlocks(Header) + Eprom + ToFiscalBlocks(Footer);
    return ToFiscalBlocks(kind.Command == H_UPLOAD_Summary ? Summary : Detail);
}

QByteArray ToFiscalBlocks(const QByteArray& Bytes) {
    QByteArray blocks = Bytes;
    const qsizetype whole = std::max<qsizetype>(1, (blocks.size() + kBlockSize - 1) / kBlockSize);
    blocks.append(QByteArray(whole * kBlockSize - blocks.size(), '\0'));
    // The host ends an upload at the first block with the marker, so a marker in an earlier
    // block would cut the upload short of what the device holds: such markers are cleared.
    ClearEndMarkers(blocks, whole - 1);
    QByteArray last = blocks.right(kBlockSize);
    if (!IsEndBlock(last))
        blocks[blocks.size() - 1] = static_cast<char>(kEndMarker);
    return blocks;
}

DeviceEngine::DeviceEngine(EngineConfig Config, std::shared_ptr<ContentSource> Content)
    : m_config(std::move(Config)), m_content(std::move(Content)), m_rng(m_config.Faults.Seed) {
    m_lineRate = m_config.Faults.OnlyRate > 0 ? m_config.Faults.OnlyRate : m_config.StartRate;

    SetHandler({kClassControl, kCodeSetBaud}, [this](const DeviceFrame& r) { HandleSetBaud(r); });
    SetHandler({kClassControl, kCodeDetail},
               [this](const DeviceFrame& r) { HandleFiscalMemory(r, FmArea::Detail); });
    SetHandler({kClassControl, kCodeSummary},
               [this](const DeviceFrame& r) { HandleFiscalMemory(r, FmArea::Summary); });
    SetHandler({kClassControl, kCodeHeader},
               [this](const DeviceFrame& r) { HandleFiscalMemory(r, FmArea::Header); });
    SetHandler({kClassControl, kCodeFooter},
               [this](const DeviceFrame& r) { HandleFiscalMemory(r, FmArea::Footer); });
    SetHandler({kClassEprom, kCodeEprom}, [this](const DeviceFrame& r) { HandleEprom(r); });
    // Ending the line or the communication needs nothing from this device but the acknowledge.
    SetHandler({kClassControl, kCodeLineOff}, [this](const DeviceFrame& r) { Acknowledge(r); });
    SetHandler({kClassControl, kCodeEndComm}, [this](const DeviceFrame& r) { Acknowledge(r); });
}

void DeviceEngine::SetHandler(CommandKey Key, Handler H) {
    m_handlers[Key.Packed()] = std::move(H);
}

void DeviceEngine::RunLater(int Ms, std::function<void()> Work) {
    if (Defer)
        Defer(Ms, std::move(Work));
    else
        Work();
}

void DeviceEngine::Feed(const QByteArray& Bytes, int HostRate) {
    if (Bytes.isEmpty() || m_hungUp || m_hangUpQueued)
        return;
    if (m_config.Faults.EchoRequests) {
        // The line gives the host its own bytes back before the device has said anything.
        m_out.push_back({false, Bytes, HostRate > 0 ? HostRate : m_lineRate, false, true});
        ++m_stats.Echoed;
    }
    if (HostRate != 0 && HostRate != m_lineRate) {
        m_stats.IgnoredBytes += Bytes.size();
        m_finder.Reset();
        return;
    }
    m_finder.Feed(Bytes, [this](const FrameEvent& e) {
        if (e.Kind == FrameEventKind::Frame) {
            OnFrame(e.Frame);
        } else {
            ++m_stats.BadFrames;
            Log(QStringLiteral("dropped a bad request frame"));
        }
    });
}

void DeviceEngine::OnFrame(const DeviceFrame& Request) {
    const CommandKey key{Request.Class, Request.Code};
    const QString name = CommandName(key);
    const int number = ++m_stats.Requests;
    ++m_stats.PerCommand[name];
    Log(QStringLiteral("request %1: %2 p1=%3 p2=%4 seq=%5 len=%6")
            .arg(number)
            .arg(name)
            .arg(Request.Param1)
            .arg(Request.Param2)
            .arg(Request.Sequence)
            .arg(Request.Data.size()));

    const auto& f = m_config.Faults;
    const bool refuseCommand =
        std::find(f.RefuseCommands.begin(), f.RefuseCommands.end(), key) != f.RefuseCommands.end();
    if (refuseCommand || f.RefuseRequests.count(number) != 0) {
        Refuse(Request);
        return;
    }
    const auto it = m_handlers.find(key.Packed());
    if (it == m_handlers.end()) {
        Refuse(Request);
        return;
    }
    it->second(Request);
}

void DeviceEngine::HandleSetBaud(const DeviceFrame& Request) {
    const int rate = RateForDivisor(Request.Param1);
    if (rate == 0) {
        Refuse(Request);
        return;
    }
    const int only = m_config.Faults.OnlyRate;
    if (only > 0 && rate != only) {
        // This device cannot run at that rate: it stays silent and the host tries again.
        Log(QStringLiteral("H_SETBAUD for %1 ignored (works only at %2)").arg(rate).arg(only));
        return;
    }
    Acknowledge(Request);
    if (rate != m_lineRate)
        SwitchRateAfterOutput(rate);
}

void DeviceEngine::HandleFiscalMemory(const DeviceFrame& Request, FmArea Area) {
    const int block = (Request.Param1 << 8) | Request.Param2;
    auto& cached = m_uploads[Area];
    if (block == 0 || cached.Blocks.isEmpty() || cached.RequestData != Request.Data) {
        // A new upload: take a fresh copy so that every block of it comes from one printout.
        // Header and footer requests carry whatever data the host's buffer last held; only a
        // printout is selected by it.
        const bool printout = Area == FmArea::Detail || Area == FmArea::Summary;
        const auto range = printout ? ParsePrintoutRange(Request.Data)
                                    : std::optional<PrintoutRange>(PrintoutRange{});
        if (!range) {
            Log(QStringLiteral("%1: range is not packed BCD").arg(FmAreaName(Area)));
            cached = {};
            Refuse(Request);
            return;
        }
        const QByteArray raw = m_content ? m_content->FiscalMemory(Area, *range) : QByteArray();
        cached.RequestData = Request.Data;
        cached.Blocks = ToFiscalBlocks(raw);
        if (m_config.Faults.NoEndMarker) // a device that never marks its last block
            ClearEndMarkers(cached.Blocks, cached.Blocks.size() / kBlockSize);
    }
    const qsizetype offset = qsizetype(block) * kBlockSize;
    if (m_config.Faults.NoEndMarker) {
        // Whatever block is asked for, there is one: past the content it reads as empty.
        const QByteArray data = offset < cached.Blocks.size()
                                    ? cached.Blocks.mid(offset, kBlockSize)
                                    : QByteArray(kBlockSize, '\0');
        Answer(Request, m_config.FmAnswerClass, Request.Code, Request.Param1, Request.Param2, data);
        return;
    }
    if (offset >= cached.Blocks.size()) {
        Log(QStringLiteral("%1: block %2 is past the end").arg(FmAreaName(Area)).arg(block));
        Refuse(Request);
        return;
    }
    const bool last = offset + kBlockSize >= cached.Blocks.size();
    Answer(Request, m_config.FmAnswerClass, Request.Code, Request.Param1, Request.Param2,
           cached.Blocks.mid(offset, kBlockSize), last);
}

void DeviceEngine::HandleEprom(const DeviceFrame& Request) {
    const int block = Request.Param1 | (Request.Param2 << 8);
    if (block < kEpromFirstChangeBlock) {
        Refuse(Request);
        return;
    }
    if (block == kEpromFirstChangeBlock || !m_changeData)
        m_changeData = m_content ? m_content->ChangeData() : QByteArray();
    const int index = block - kEpromFirstChangeBlock;
    const qsizetype offset = qsizetype(index) * kBlockSize;
    if (index >= kEpromChangeBlocks || offset >= m_changeData->size()) {
        // Past the change-data area: an answer without data tells the host it has everything.
        Answer(Request, m_config.EpromAnswerClass, kCodeEprom, Request.Param1, Request.Param2, {},
               true);
        return;
    }
    QByteArray data = m_changeData->mid(offset, kBlockSize);
    // A short area reads as erased memory up to the end of its last block.
    data.append(QByteArray(kBlockSize - data.size(), '\xFF'));
    Answer(Request, m_config.EpromAnswerClass, kCodeEprom, Request.Param1, Request.Param2, data);
}

void DeviceEngine::Acknowledge(const DeviceFrame& Request) {
    Answer(Request, kClassControl, kCodeAcknowledge, 0, 0, {});
}

void DeviceEngine::Refuse(const DeviceFrame& Request) {
    ++m_stats.Refused;
    Answer(Request, kClassControl, kCodeRefuse, 0, 0, {});
}

void DeviceEngine::Answer(const DeviceFrame& Request, std::uint8_t Class, std::uint8_t Code,
                          std::uint8_t Param1, std::uint8_t Param2, const QByteArray& Data,
                          bool EndOfUpload) {
    DeviceFrame answer;
    answer.Address = Request.Address;
    answer.Class = Class;
    answer.Code = Code;
    answer.Param1 = Param1;
    answer.Param2 = Param2;
    answer.Sequence = Request.Sequence;
    answer.Data = Data;
    Log(QStringLiteral("answer: %1 seq=%2 len=%3")
            .arg(CommandName({Class, Code}))
            .arg(answer.Sequence)
            .arg(Data.size()));
    Queue(EncodeFrame(answer), EndOfUpload);
}

void DeviceEngine::Queue(const QByteArray& Frame, bool EndOfUpload) {
    const auto& f = m_config.Faults;
    const int number = ++m_stats.Answers;
    if (m_hungUp || m_hangUpQueued || (f.SilentAfter >= 0 && number > f.SilentAfter)) {
        ++m_stats.Dropped;
        Log(QStringLiteral("answer %1 not sent (silent)").arg(number));
        return;
    }
    if (f.DropAnswers.count(number) != 0 || Chance(f.DropPercent)) {
        ++m_stats.Dropped;
        Log(QStringLiteral("answer %1 dropped").arg(number));
        return;
    }
    if (f.StaleEmptyAnswers.count(number) != 0) {
        // The answer a much earlier request might still get: no data, the sequence byte one
        // behind, a write (datagram) of its own.
        QByteArray stale = Frame.left(kFrameHeaderSize);
        stale[9] = static_cast<char>(static_cast<std::uint8_t>(stale[9]) - 1);
        stale[10] = stale[11] = '\0';
        stale[12] = static_cast<char>(
            HeaderChecksum(reinterpret_cast<const std::uint8_t*>(stale.constData())));
        QueueWrite(stale);
        ++m_stats.StaleEmpty;
        Log(QStringLiteral("stale empty answer before answer %1").arg(number));
    }
    QByteArray wire = Frame;
    bool intact = true;
    if (Chance(f.CorruptPercent)) {
        // Flip the high CRC byte of a data frame, or the header checksum of a bare header.
        const qsizetype at = wire.size() > kFrameHeaderSize ? wire.size() - 1 : 12;
        wire[at] = static_cast<char>(static_cast<std::uint8_t>(wire[at]) ^ 0x5A);
        ++m_stats.Corrupted;
        intact = false;
        Log(QStringLiteral("answer %1 corrupted").arg(number));
    }
    const bool falseHeader =
        f.FalseHeaderAnswers.count(number) != 0 || Chance(f.FalseHeaderPercent);
    const bool twice = f.DuplicateAnswers.count(number) != 0 || Chance(f.DuplicatePercent);
    for (int copy = 0; copy < (twice ? 2 : 1); ++copy) {
        QByteArray bytes;
        if (f.GarbageMax > 0) {
            const int n = RandomIn(0, f.GarbageMax);
            for (int i = 0; i < n; ++i) {
                int b = RandomIn(0, 254);
                if (b >= kFrameStart)
                    ++b; // every value but the start byte
                bytes.append(static_cast<char>(b));
            }
        }
        if (falseHeader && copy == 0) {
            bytes.append(FalseHeaderFor(Frame));
            ++m_stats.FalseHeaders;
            Log(QStringLiteral("false header before answer %1").arg(number));
        }
        bytes.append(wire);
        QueueWrite(bytes);
    }
    if (twice)
        ++m_stats.Duplicated;
    if (f.LateCopyAnswers.count(number) != 0) {
        ++m_stats.LateCopies;
        RunLater(f.LateCopyMs, [this, wire, number] {
            if (m_hungUp || m_hangUpQueued)
                return;
            Log(QStringLiteral("late copy of answer %1").arg(number));
            QueueWrite(wire);
        });
    }
    if (EndOfUpload && intact && m_config.ResetRateAtEnd) {
        const int start = f.OnlyRate > 0 ? f.OnlyRate : m_config.StartRate;
        SwitchRateAfterOutput(start);
    }
    if (f.HangUpAfter >= 0 && number >= f.HangUpAfter) {
        // The line ends once this answer has gone out.
        m_hangUpQueued = true;
        m_out.push_back({true, {}, m_lineRate, true});
        ApplyLeadingSwitches();
    }
}

QByteArray DeviceEngine::FalseHeaderFor(const QByteArray& Frame) {
    QByteArray header = Frame.left(kFrameHeaderSize);
    const int length = RandomIn(4000, kMaxFrameDataLength);
    header[10] = static_cast<char>(length & 0xFF);
    header[11] = static_cast<char>(length >> 8);
    header[12] = static_cast<char>(
        HeaderChecksum(reinterpret_cast<const std::uint8_t*>(header.constData())));
    return header;
}

void DeviceEngine::QueueWrite(const QByteArray& Bytes) {
    const auto& f = m_config.Faults;
    if (!f.SplitChunks) {
        m_out.push_back({false, Bytes, m_lineRate});
        return;
    }
    const int low = std::max(1, f.SplitMin);
    const int high = std::max(low, f.SplitMax);
    qsizetype pos = 0;
    while (pos < Bytes.size()) {
        const qsizetype n = std::min<qsizetype>(RandomIn(low, high), Bytes.size() - pos);
        m_out.push_back({false, Bytes.mid(pos, n), m_lineRate});
        pos += n;
    }
}

void DeviceEngine::SwitchRateAfterOutput(int NewRate) {
    // The rate a write goes out at is fixed when it is queued; a switch queued behind it
    // changes the device's rate only once the write has been taken.
    m_out.push_back({true, {}, NewRate});
    ApplyLeadingSwitches();
}

void DeviceEngine::ApplyLeadingSwitches() {
    while (!m_out.empty() && m_out.front().IsSwitch) {
        const int rate = m_out.front().Rate;
        const bool hangUp = m_out.front().HangUp;
        m_out.pop_front();
        m_frontTaken = 0;
        if (hangUp) {
            m_out.clear();
            m_hungUp = true;
            Log(QStringLiteral("hung up"));
            return;
        }
        if (rate != m_lineRate) {
            Log(QStringLiteral("line rate %1 -> %2").arg(m_lineRate).arg(rate));
            m_lineRate = rate;
            ++m_stats.RateSwitches;
            // Writes queued behind the switch go out at the new rate.
            for (auto& item : m_out) {
                if (item.IsSwitch)
                    break;
                if (!item.FixedRate)
                    item.Rate = rate;
            }
        }
    }
}

const DeviceEngine::OutItem* DeviceEngine::FrontWrite() const {
    if (m_out.empty() || m_out.front().IsSwitch)
        return nullptr;
    return &m_out.front();
}

qsizetype DeviceEngine::NextWriteSize() const {
    const OutItem* front = FrontWrite();
    return front ? front->Bytes.size() - m_frontTaken : 0;
}

int DeviceEngine::NextWriteRate() const {
    const OutItem* front = FrontWrite();
    return front ? front->Rate : m_lineRate;
}

OutWrite DeviceEngine::TakeWrite(qsizetype MaxBytes) {
    const OutItem* front = FrontWrite();
    if (!front)
        return {};
    const qsizetype left = front->Bytes.size() - m_frontTaken;
    const qsizetype n = MaxBytes < 0 ? left : std::min(left, MaxBytes);
    OutWrite out{front->Bytes.mid(m_frontTaken, n), front->Rate};
    m_frontTaken += n;
    if (m_frontTaken >= front->Bytes.size()) {
        m_out.pop_front();
        m_frontTaken = 0;
        ApplyLeadingSwitches();
    }
    return out;
}

QByteArray DeviceEngine::TakeAllOutput() {
    QByteArray all;
    while (HasOutput())
        all.append(TakeWrite().Bytes);
    return all;
}

bool DeviceEngine::Chance(int Percent) {
    if (Percent <= 0)
        return false;
    if (Percent >= 100)
        return true;
    return RandomIn(0, 99) < Percent;
}

int DeviceEngine::RandomIn(int Low, int High) {
    return std::uniform_int_distribution<int>(Low, High)(m_rng);
}

void DeviceEngine::Log(const QString& Text) {
    if (OnLog)
        OnLog(Text);
}

QString DeviceEngine::SummaryLine() const {
    QStringList perCommand;
    for (const auto& [name, count] : m_stats.PerCommand)
        perCommand << QStringLiteral("%1 %2").arg(name).arg(count);
    return QStringLiteral("served %1 requests (%2); answers %3, refused %4, dropped %5, "
                          "corrupted %6, duplicated %7; bad request frames %8; bytes ignored "
                          "at a wrong line rate %9; line rate now %10%11")
        .arg(m_stats.Requests)
        .arg(perCommand.isEmpty() ? QStringLiteral("none") : perCommand.join(QStringLiteral(", ")))
        .arg(m_stats.Answers)
        .arg(m_stats.Refused)
        .arg(m_stats.Dropped)
        .arg(m_stats.Corrupted)
        .arg(m_stats.Duplicated)
        .arg(m_stats.BadFrames)
        .arg(m_stats.IgnoredBytes)
        .arg(m_lineRate)
        .arg(FaultCounts());
}

QString DeviceEngine::FaultCounts() const {
    // Only the faults this plan can commit, so a plain run's line stays as it was.
    const auto& f = m_config.Faults;
    QStringList parts;
    if (f.EchoRequests)
        parts << QStringLiteral("echoed %1").arg(m_stats.Echoed);
    if (!f.FalseHeaderAnswers.empty() || f.FalseHeaderPercent > 0)
        parts << QStringLiteral("false headers %1").arg(m_stats.FalseHeaders);
    if (!f.StaleEmptyAnswers.empty())
        parts << QStringLiteral("stale empty answers %1").arg(m_stats.StaleEmpty);
    if (!f.LateCopyAnswers.empty())
        parts << QStringLiteral("late copies %1").arg(m_stats.LateCopies);
    if (f.HangUpAfter >= 0)
        parts << (m_hungUp ? QStringLiteral("hung up") : QStringLiteral("not hung up"));
    return parts.isEmpty() ? QString() : QStringLiteral("; ") + parts.join(QStringLiteral(", "));
}
