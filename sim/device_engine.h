#pragma once

#include "fm/report_kinds.h"
#include "link/frame.h"
#include "sim/content_source.h"
#include "sim/device_commands.h"
#include "sim/fault_plan.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <unordered_map>

struct EngineConfig {
    int StartRate = 9600; // line rate after power-on
    // Class of the answers carrying fiscal-memory blocks (0x90 or 0x80; the code is always the
    // request's code) and of the EPROM blocks (0x83 or 0x80, code 0x00).
    std::uint8_t FmAnswerClass = simcmd::kClassFiscalData;
    std::uint8_t EpromAnswerClass = simcmd::kClassEprom;
    // Go back to StartRate once the last answer of an upload has gone out intact, as a device
    // that ends its transfer does; the next session then starts at the host's 9600 bit/s.
    // When a fault spoilt that answer the rate stays, so the host's retransmission still
    // reaches the device.
    bool ResetRateAtEnd = true;
    FaultPlan Faults;
};

// One write (serial) or one datagram (UDP) of answer bytes.
struct OutWrite {
    QByteArray Bytes;
    int Rate = 0; // the device's line rate while these bytes go out
};

struct EngineStats {
    int Requests = 0;        // valid request frames taken at the right rate
    int Answers = 0;         // answers produced (before faults)
    int Refused = 0;         // answers that were refusals
    int Dropped = 0;         // answers never sent (drop or silence)
    int Corrupted = 0;       // answers whose check was spoilt
    int Duplicated = 0;      // answers sent twice
    int BadFrames = 0;       // request frames with a bad checksum, CRC or length
    int RateSwitches = 0;    // H_SETBAUD switches and returns to the start rate
    int Echoed = 0;          // request chunks sent back by an echoing line
    int FalseHeaders = 0;    // false frame headers sent before answers
    int StaleEmpty = 0;      // stale answers without data sent before answers
    int LateCopies = 0;      // answers sent once more a while later
    qint64 IgnoredBytes = 0; // bytes that arrived while the host's line rate was not the device's
    std::map<QString, int> PerCommand; // requests by command name
};

// The simulated fiscal device, without any I/O: bytes from the host go in through Feed, the
// answers come out as a queue of writes that a transport takes with TakeWrite. The device's
// line rate changes only when the transport has taken the last byte of the acknowledge that
// announced the change, so the acknowledge always goes out at the old rate.
class DeviceEngine {
public:
    DeviceEngine(EngineConfig Config, std::shared_ptr<ContentSource> Content);

    // HostRate: the line speed the host's port is set to; 0 when there is no serial line (UDP),
    // which skips the rate check. Bytes at a rate other than the device's are lost, as on a
    // real line, and any frame in progress with them.
    void Feed(const QByteArray& Bytes, int HostRate = 0);

    int LineRate() const { return m_lineRate; }
    // True once the device has hung up (see FaultPlan::HangUpAfter): every write before the
    // hang-up has been taken, nothing more is heard or sent.
    bool HungUp() const { return m_hungUp; }

    bool HasOutput() const { return FrontWrite() != nullptr; }
    qsizetype NextWriteSize() const; // bytes left in the next write, 0 when none
    int NextWriteRate() const;       // rate of the next write, or the current rate
    // Takes up to MaxBytes (all when negative) of the next write; pending rate changes that
    // follow a completely taken write take effect before this returns.
    OutWrite TakeWrite(qsizetype MaxBytes = -1);
    // Everything queued, concatenated (tests and simple transports).
    QByteArray TakeAllOutput();

    const EngineStats& Stats() const { return m_stats; }
    QString SummaryLine() const;

    // Optional one-line notes on every request and answer (the program's --verbose).
    std::function<void(const QString&)> OnLog;

    // Command handlers: a handler reads the request and answers through Answer/Acknowledge/
    // Refuse (or stays silent). Handlers for further commands can be added or replaced here.
    using Handler = std::function<void(const DeviceFrame& Request)>;
    void SetHandler(simcmd::CommandKey Key, Handler H);

    // Runs Work after Ms milliseconds (the front end's timer), for answers a device sends on
    // its own a while after a request. Unset: Work runs at once.
    std::function<void(int Ms, std::function<void()> Work)> Defer;
    void RunLater(int Ms, std::function<void()> Work);

    // The built-in H_SETBAUD answer, for a handler that replaces it and adds to it.
    void ServeSetBaud(const DeviceFrame& Request) { HandleSetBaud(Request); }

    // Queues an answer to Request, echoing its address and sequence byte, through the fault
    // plan. EndOfUpload marks the last answer of an upload (see ResetRateAtEnd).
    void Answer(const DeviceFrame& Request, std::uint8_t Class, std::uint8_t Code,
                std::uint8_t Param1, std::uint8_t Param2, const QByteArray& Data,
                bool EndOfUpload = false);
    void Acknowledge(const DeviceFrame& Request);
    void Refuse(const DeviceFrame& Request);
    // The line rate becomes NewRate once everything queued so far has been taken.
    void SwitchRateAfterOutput(int NewRate);

private:
    struct OutItem {
        bool IsSwitch = false;
        QByteArray Bytes;
        int Rate = 0;
        bool HangUp = false;    // a switch item that ends the device's line instead
        bool FixedRate = false; // an echo goes back at the host's rate whatever the device's
    };
    struct CachedUpload {
        QByteArray RequestData;
        QByteArray Blocks;
    };

    void OnFrame(const DeviceFrame& Request);
    void HandleSetBaud(const DeviceFrame& Request);
    void HandleFiscalMemory(const DeviceFrame& Request, FmArea Area);
    void HandleEprom(const DeviceFrame& Request);
    void Queue(const QByteArray& Frame, bool EndOfUpload);
    void QueueWrite(const QByteArray& Bytes);
    QByteArray FalseHeaderFor(const QByteArray& Frame);
    QString FaultCounts() const;
    void ApplyLeadingSwitches();
    const OutItem* FrontWrite() const;
    bool Chance(int Percent);
    int RandomIn(int Low, int High);
    void Log(const QString& Text);

    EngineConfig m_config;
    std::shared_ptr<ContentSource> m_content;
    FrameFinder m_finder;
    std::mt19937 m_rng;
    int m_lineRate = 9600;
    std::deque<OutItem> m_out;
    qsizetype m_frontTaken = 0; // bytes of m_out.front() already taken
    std::unordered_map<std::uint16_t, Handler> m_handlers;
    std::map<FmArea, CachedUpload> m_uploads;
    std::optional<QByteArray> m_changeData;
    EngineStats m_stats;
    bool m_hungUp = false;
    bool m_hangUpQueued = false;
};

// Pads fiscal-memory bytes to whole 256-byte blocks (at least one) with NUL bytes and puts the
// end marker at byte 255 of the last block unless byte 254 or 255 already holds it. A marker
// at byte 254 or 255 of an earlier block becomes NUL, so the host reads every block.
QByteArray ToFiscalBlocks(const QByteArray& Bytes);

// What a device serves for the five fiscal-memory uploads, as given to --detail, --summary,
// --header, --eprom and --footer.
struct DeviceAreas {
    QByteArray Detail;
    QByteArray Summary;
    QByteArray Header;
    QByteArray Eprom;
    QByteArray Footer;

    // The .hex file an upload of report kind Kind leaves: the area its command reads in
    // whole blocks with one end marker; a change report's file joined as header, change
    // data, footer.
    QByteArray ExpectedHex(ReportKind Kind) const;
};
