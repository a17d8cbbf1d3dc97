#include "sim/command_play.h"

#include <QFile>

#include <algorithm>

using namespace simcmd;

namespace {

constexpr std::uint8_t kClassRam = 0x81;
constexpr std::uint8_t kClassRom = 0x82;
constexpr std::uint8_t kClassDownload = 0x90;
constexpr std::uint8_t kCodeBroadcast = 0x01;
constexpr std::uint8_t kCodeXZ = 0x06;
constexpr std::uint8_t kCodeClerk = 0x07;
constexpr std::uint8_t kCodeCommonData = 0x08;
constexpr std::uint8_t kCodeHourly = 0x09;
constexpr std::uint8_t kCodeFiscal = 0x0A;
constexpr std::uint8_t kCodeCheck = 0x0C;
constexpr std::uint8_t kCodeTaskDone = 0x0C;
constexpr std::uint8_t kCodeProgram64K = 0x03;
constexpr std::uint8_t kCodeProgram60K = 0x05;
constexpr std::uint8_t kCodeNand = 0x13;
constexpr std::uint8_t kBusy = 0xFF;
constexpr std::uint8_t kZError = 0xFE;
constexpr std::uint8_t kFiscalLast = 15;
constexpr int kCommonDataSize = 16;
constexpr int kFiscalPackets = 3;
constexpr std::uint32_t kAddressSpace = 0x1000000;
constexpr int kDumpPacket = 256;

std::uint8_t StreamCode(SimReport Report) {
    switch (Report) {
    case SimReport::Financial:
        return kCodeXZ;
    case SimReport::PeriodDepartment:
        return kCodeClerk;
    default:
        return kCodeCommonData;
    }
}

std::uint8_t PackedDigits(int TwoDigits) {
    return static_cast<std::uint8_t>(((TwoDigits / 10) << 4) | (TwoDigits % 10));
}

} // namespace

int DefaultReportSize(SimReport Report) {
    switch (Report) {
    case SimReport::Clerk:
        return 64;
    case SimReport::Hourly:
        return 192;
    case SimReport::X:
    case SimReport::Z:
        return 685;
    case SimReport::Broadcast:
        return 3;
    case SimReport::Financial:
        return 464;
    case SimReport::PeriodDepartment:
        return 16;
    case SimReport::PeriodFinancial:
        return 290;
    case SimReport::Fiscal:
        return 3 * 64;
    case SimReport::CommonData:
        return kCommonDataSize;
    }
    return 64;
}

const char* SimReportName(SimReport Report) {
    static const char* const names[] = {"CLERK",     "HOURLY", "X",    "Z",      "BROADCAST",
                                        "FINANCIAL", "PDEP",   "PFIN", "FISCAL", "COMDATA"};
    return names[static_cast<int>(Report)];
}

QByteArray SimReportContent(SimReport Report, int Size) {
    QByteArray out;
    out.reserve(Size + 32);
    for (int line = 1; out.size() < Size; ++line)
        out +=
            QByteArray(SimReportName(Report)) + " REPORT LINE " + QByteArray::number(line) + '\n';
    out.truncate(Size);
    return out;
}

QByteArray GeneratedMemory(std::uint8_t MemoryClass, std::uint32_t Address, int Count) {
    QByteArray out;
    for (int i = 0; i < Count && Address + i < kAddressSpace; ++i) {
        const std::uint32_t a = Address + static_cast<std::uint32_t>(i);
        out += static_cast<char>((a * 7 + (a >> 8) * 13 + (a >> 16) * 31 + MemoryClass) & 0xFF);
    }
    return out;
}

CommandPlayer::CommandPlayer(DeviceEngine& Engine, CommandPlaySettings Settings)
    : m_engine(Engine), m_settings(std::move(Settings)), m_busyLeft(m_settings.BusyAnswers) {}

bool CommandPlayer::Load(QString* Error) {
    if (m_settings.MemoryFile.isEmpty())
        return true;
    QFile f(m_settings.MemoryFile);
    if (!f.open(QIODevice::ReadOnly)) {
        *Error = QStringLiteral("cannot read %1: %2").arg(m_settings.MemoryFile, f.errorString());
        return false;
    }
    m_memory = f.readAll();
    m_haveMemory = true;
    return true;
}

void CommandPlayer::Install() {
    DeviceEngine& e = m_engine;
    e.SetHandler({kClassControl, kCodeSetBaud}, [this](const DeviceFrame& r) {
        m_engine.ServeSetBaud(r);
        // Every serial session starts here: the reports start from their beginning.
        ResetReports();
        if (const auto report = m_settings.StreamAfterSetBaud) {
            m_engine.RunLater(m_settings.StreamDelayMs, [this, report, addr = r.Address] {
                Stream(*report, StreamCode(*report), 0, addr);
            });
        }
    });
    e.SetHandler({kClassControl, kCodeClerk},
                 [this](const DeviceFrame& r) { ServeReport(r, SimReport::Clerk); });
    e.SetHandler({kClassControl, kCodeHourly},
                 [this](const DeviceFrame& r) { ServeReport(r, SimReport::Hourly); });
    e.SetHandler({kClassControl, kCodeXZ}, [this](const DeviceFrame& r) {
        ServeReport(r, r.Param1 == 1 ? SimReport::Z : SimReport::X);
    });
    e.SetHandler({kClassControl, kCodeBroadcast},
                 [this](const DeviceFrame& r) { ServeReport(r, SimReport::Broadcast); });
    e.SetHandler({kClassControl, kCodeFiscal}, [this](const DeviceFrame& r) { ServeFiscal(r); });
    e.SetHandler({kClassControl, kCodeCommonData}, [this](const DeviceFrame& r) {
        m_engine.Answer(r, kClassControl, kCodeCommonData, 0, 0,
                        SimReportContent(SimReport::CommonData, kCommonDataSize), true);
        ResetReports();
    });
    e.SetHandler({kClassDownload, kCodeTaskDone}, [this](const DeviceFrame& r) {
        m_engine.Answer(r, kClassControl, kCodeAcknowledge, 0, 0, {}, true);
    });
    e.SetHandler({kClassControl, kCodeCheck}, [this](const DeviceFrame& r) { ServeCheck(r); });
    for (int code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        e.SetHandler({kClassRom, c}, [this](const DeviceFrame& r) { ServeDump(r, kClassRom); });
        e.SetHandler({kClassRam, c}, [this](const DeviceFrame& r) { ServeDump(r, kClassRam); });
    }
    if (m_settings.NandOnFooterCode) {
        e.SetHandler({kClassControl, kCodeNand},
                     [this](const DeviceFrame& r) { ServeDump(r, kClassControl); });
    }
    e.SetHandler({kClassDownload, kCodeProgram64K},
                 [this](const DeviceFrame& r) { ServeProgram(r); });
    e.SetHandler({kClassDownload, kCodeProgram60K},
                 [this](const DeviceFrame& r) { ServeProgram(r); });
}

int CommandPlayer::ReportSize(SimReport Report) const {
    return m_settings.ReportSize >= 0 ? m_settings.ReportSize : DefaultReportSize(Report);
}

void CommandPlayer::ResetReports() {
    m_reports.clear();
}

void CommandPlayer::ServeReport(const DeviceFrame& Request, SimReport Report) {
    const bool asksLikeClerk = Report == SimReport::Clerk || Report == SimReport::Hourly ||
                               Report == SimReport::X || Report == SimReport::Z;
    if (asksLikeClerk && m_busyLeft > 0) {
        --m_busyLeft;
        m_engine.Answer(Request, kClassControl, Request.Code, Request.Param1, kBusy, {});
        return;
    }
    if (Report == SimReport::Z && m_settings.ZError94) {
        m_engine.Answer(Request, kClassControl, Request.Code, Request.Param1, kZError, {}, true);
        return;
    }
    ReportState& s = m_reports[Report];
    if (Request.Sequence != s.LastSeq) {
        const QByteArray content = SimReportContent(Report, ReportSize(Report));
        s.LastData = content.mid(s.Offset, std::max(1, m_settings.ReportPacket));
        s.Offset += s.LastData.size();
        s.LastSeq = Request.Sequence;
    }
    const bool complete = s.Offset >= ReportSize(Report);
    // An answer without data tells the host the report is over.
    m_engine.Answer(Request, kClassControl, Request.Code, Request.Param1, 0, s.LastData,
                    s.LastData.isEmpty() || (Report == SimReport::Z && complete));
    if (Report == SimReport::X && complete && !s.LastData.isEmpty()) {
        // The X report goes on with the period financial report, sent unasked and numbered
        // on from the X report's last answer.
        Stream(SimReport::PeriodFinancial, kCodeCommonData, Request.Sequence, Request.Address);
        m_reports.erase(SimReport::X);
    }
}

void CommandPlayer::ServeFiscal(const DeviceFrame& Request) {
    ReportState& s = m_reports[SimReport::Fiscal];
    if (Request.Param2 == 0 && Request.Sequence != s.LastSeq)
        s = ReportState{}; // the first request of a fiscal report
    if (Request.Sequence != s.LastSeq) {
        // The report starts with the parameters it was asked for.
        const QByteArray content =
            "PARAMS " + Request.Data.toHex() + '\n' +
            SimReportContent(SimReport::Fiscal, ReportSize(SimReport::Fiscal));
        const int packet = static_cast<int>((content.size() + kFiscalPackets - 1) / kFiscalPackets);
        s.LastData = content.mid(s.Offset, packet);
        s.Offset += s.LastData.size();
        s.LastSeq = Request.Sequence;
        const bool last = s.Offset >= content.size();
        s.LastParam1 = last ? kFiscalLast : 0;
    }
    m_engine.Answer(Request, kClassControl, kCodeFiscal, s.LastParam1, 0, s.LastData);
}

void CommandPlayer::Stream(SimReport Report, std::uint8_t Code, std::uint8_t FirstSeq,
                           std::uint32_t Address) {
    const QByteArray content = SimReportContent(Report, ReportSize(Report));
    const int packet = std::max(1, m_settings.ReportPacket);
    DeviceFrame as;
    as.Address = Address;
    as.Class = kClassControl;
    as.Code = Code;
    as.Sequence = FirstSeq;
    for (qsizetype at = 0; at < content.size(); at += packet) {
        const bool last = at + packet >= content.size();
        m_engine.Answer(as, kClassControl, Code, 0, 0, content.mid(at, packet), last);
        as.Sequence = static_cast<std::uint8_t>(as.Sequence + 1);
    }
}

void CommandPlayer::ServeCheck(const DeviceFrame& Request) {
    QByteArray data(8, '\0');
    data[1] = static_cast<char>(m_settings.CheckState);
    const int v = m_settings.SwVersion % 10000;
    data[5] = static_cast<char>(PackedDigits(v / 100));
    data[6] = static_cast<char>(PackedDigits(v % 100));
    m_engine.Answer(Request, kClassControl, kCodeCheck, 0, 0, data);
}

QByteArray CommandPlayer::Memory(std::uint8_t MemoryClass, std::uint32_t Address, int Count) const {
    if (!m_haveMemory)
        return GeneratedMemory(MemoryClass, Address, Count);
    if (Address >= static_cast<std::uint32_t>(m_memory.size()))
        return {};
    return m_memory.mid(Address, Count);
}

void CommandPlayer::ServeDump(const DeviceFrame& Request, std::uint8_t MemoryClass) {
    // ROM and RAM requests carry the whole address in the code and parameter bytes; NAND
    // flash requests the page (the two high address bytes) in the parameters.
    const std::uint32_t address =
        MemoryClass == kClassControl
            ? (std::uint32_t{Request.Param1} << 16) | (std::uint32_t{Request.Param2} << 8)
            : (std::uint32_t{Request.Code} << 16) | (std::uint32_t{Request.Param1} << 8) |
                  Request.Param2;
    const QByteArray data = Memory(MemoryClass, address, kDumpPacket);
    m_engine.Answer(Request, MemoryClass, Request.Code, Request.Param1, Request.Param2, data,
                    data.isEmpty());
}

void CommandPlayer::ServeProgram(const DeviceFrame& Request) {
    auto [it, fresh] = m_lastProgramSeq.try_emplace(Request.Code, -1);
    if (it->second != Request.Sequence && !m_settings.DownloadLog.isEmpty()) {
        QFile log(m_settings.DownloadLog);
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write(Request.Data);
    }
    it->second = Request.Sequence;
    m_engine.Acknowledge(Request);
}

// ---------------------------------------------------------------------------------------
// Options

namespace {

const char kReportPacket[] = "report-packet";
const char kReportSize[] = "report-size";
const char kBusyOpt[] = "busy";
const char kZError94[] = "z-error94";
const char kCheckState[] = "check-state";
const char kSwVersion[] = "sw-version";
const char kMemory[] = "memory";
const char kNandFlash[] = "nand-flash";
const char kStreamReport[] = "stream-report";
const char kStreamDelay[] = "stream-delay";
const char kDownloadLog[] = "download-log";

std::optional<int> IntOption(const QCommandLineParser& P, const char* Name, int Low, int High) {
    bool ok = false;
    const int v = P.value(QLatin1String(Name)).trimmed().toInt(&ok, 0);
    if (!ok || v < Low || v > High)
        return std::nullopt;
    return v;
}

} // namespace

void AddCommandPlayOptions(QCommandLineParser& Parser) {
    const auto opt = [&](const char* Name, const char* Help, const char* Value = nullptr) {
        Parser.addOption(Value ? QCommandLineOption(QLatin1String(Name), QLatin1String(Help),
                                                    QLatin1String(Value))
                               : QCommandLineOption(QLatin1String(Name), QLatin1String(Help)));
    };
    opt(kReportPacket, "Data bytes per report answer (default 64).", "bytes");
    opt(kReportSize,
        "Bytes of every report (default: each report's own size: clerk 64, hourly 192, X and Z "
        "685, broadcast 3, financial 464, period department 16, period financial 290).",
        "bytes");
    opt(kBusyOpt, "Answer the first N clerk, hourly, X and Z report requests \"busy\".", "n");
    opt(kZError94, "Answer Z report requests with error 94 (the Z report cannot be taken).");
    opt(kCheckState,
        "Data byte 1 of the device-check answer (default 0): 3 a receipt is open, bit 6 (0x40) "
        "a Z report is due.",
        "byte");
    opt(kSwVersion, "Software version in the device-check answer, 0..9999 (default 123).", "n");
    opt(kMemory,
        "Memory image the ROM, RAM and NAND flash dumps read (default: a generated "
        "pattern over the 24-bit address space).",
        "file");
    opt(kNandFlash, "Requests 0x80:0x13 read NAND flash pages instead of the footer.");
    opt(kStreamReport,
        "Send this report unasked after acknowledging H_SETBAUD: H_UPLOAD_FIN, H_UPLOAD_PDEP or "
        "H_UPLOAD_PFIN.",
        "command");
    opt(kStreamDelay,
        "Milliseconds between the H_SETBAUD acknowledge and --stream-report "
        "(default 200).",
        "ms");
    opt(kDownloadLog,
        "Append the data of every program packet received (H_PROGRAM64K, "
        "H_PROGRAM60K) to this file.",
        "file");
}

bool ReadCommandPlayOptions(const QCommandLineParser& P, CommandPlaySettings& S, QString* Error) {
    const auto set = [&](const char* Name) { return P.isSet(QLatin1String(Name)); };
    const auto fail = [&](const QString& Text) {
        *Error = Text;
        return false;
    };
    if (set(kReportPacket)) {
        const auto v = IntOption(P, kReportPacket, 1, kMaxRequestDataLength);
        if (!v)
            return fail(QStringLiteral("--report-packet needs a number from 1 to %1")
                            .arg(kMaxRequestDataLength));
        S.ReportPacket = *v;
    }
    if (set(kReportSize)) {
        const auto v = IntOption(P, kReportSize, 0, 1 << 24);
        if (!v)
            return fail(QStringLiteral("--report-size needs a number from 0"));
        S.ReportSize = *v;
    }
    if (set(kBusyOpt)) {
        const auto v = IntOption(P, kBusyOpt, 0, 1 << 20);
        if (!v)
            return fail(QStringLiteral("--busy needs a number from 0"));
        S.BusyAnswers = *v;
    }
    S.ZError94 = set(kZError94);
    if (set(kCheckState)) {
        const auto v = IntOption(P, kCheckState, 0, 255);
        if (!v)
            return fail(QStringLiteral("--check-state needs a byte, e.g. 0x40"));
        S.CheckState = static_cast<std::uint8_t>(*v);
    }
    if (set(kSwVersion)) {
        const auto v = IntOption(P, kSwVersion, 0, 9999);
        if (!v)
            return fail(QStringLiteral("--sw-version needs a number from 0 to 9999"));
        S.SwVersion = static_cast<std::uint16_t>(*v);
    }
    S.MemoryFile = P.value(QLatin1String(kMemory));
    S.NandOnFooterCode = set(kNandFlash);
    if (set(kStreamReport)) {
        const QString name = P.value(QLatin1String(kStreamReport)).trimmed().toUpper();
        if (name == QLatin1String("H_UPLOAD_FIN"))
            S.StreamAfterSetBaud = SimReport::Financial;
        else if (name == QLatin1String("H_UPLOAD_PDEP"))
            S.StreamAfterSetBaud = SimReport::PeriodDepartment;
        else if (name == QLatin1String("H_UPLOAD_PFIN"))
            S.StreamAfterSetBaud = SimReport::PeriodFinancial;
        else
            return fail(QStringLiteral(
                "--stream-report needs H_UPLOAD_FIN, H_UPLOAD_PDEP or H_UPLOAD_PFIN"));
    }
    if (set(kStreamDelay)) {
        const auto v = IntOption(P, kStreamDelay, 0, 600000);
        if (!v)
            return fail(QStringLiteral("--stream-delay needs milliseconds from 0"));
        S.StreamDelayMs = *v;
    }
    S.DownloadLog = P.value(QLatin1String(kDownloadLog));
    return true;
}
