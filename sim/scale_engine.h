#pragma once

// The simulated weighing scale, without any I/O: bytes from the host go in through FeedSerial
// (a serial line, with the rate the host's port is set to) or FeedDatagram (UDP), the answers
// come out as writes a front end takes with TakeWrite.
//
// A sleeping scale hears a wake-up at any rate (or only at FaultsOnlyRate), answers it at that
// rate and then works at the rate the wake-up asked for; Finish puts it back to sleep. Over
// UDP there is no wake-up: exchanges are answered as they come.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <vector>

struct ScaleFaults {
    int OnlyRate = 0;            // a wake-up is heard only at this rate (0: any rate)
    bool NegativeWakeUp = false; // the wake-up is answered with 0x55
    std::set<int> ClearTopBit;   // frame answers (numbered from 1) whose frame byte 150 has
                                 // its top bit cleared on the line
    std::set<int> DropAnswers;   // answers (numbered from 1) never sent
    int SilentAfter = -1;        // after this many answers nothing more is sent; -1 never
    std::vector<int> SplitSizes; // UDP: a data answer goes out as datagrams of these sizes
                                 // (the last size repeats for what is left)
};

struct ScaleConfig {
    bool WithQxt = true;            // the information block's text begins with "QXT"
    std::uint16_t InfoValue = 1024; // the 16-bit value at offset 12 of the information block
    std::uint32_t ContentSeed = 1;  // memory contents
    ScaleFaults Faults;
};

struct ScaleWrite {
    QByteArray Bytes;
    int Rate = 0; // line rate the bytes go out at (0 on UDP)
};

struct ScaleStats {
    int WakeUps = 0;                  // wake-up frames heard
    std::map<int, int> WakeUpsByRate; // ... by the rate they were heard at
    long long LastScaleNo = -1;       // scale number of the last wake-up or finish
    int LastWakeUpRateOrdinal = -1;
    int LastWakeUpFlag = -1; // byte 14 of the last wake-up
    int Exchanges = 0;       // exchange requests answered
    int InfoReads = 0;
    std::map<int, int> BlockReads; // block number -> requests
    int Finishes = 0;
    std::vector<int> FinishFlags;
    int BadFrames = 0;       // frames with a bad sum or layout, unknown datagrams
    int Answers = 0;         // answers produced (before faults)
    int Dropped = 0;         // answers never sent
    qint64 IgnoredBytes = 0; // bytes heard at a rate the scale does not listen at
};

// Contents the simulated scale serves, so tests can compare what a host wrote.
std::uint8_t ScaleMemoryByte(std::uint32_t Seed, int Block, int Offset);
QByteArray ScaleMemoryBlock(std::uint32_t Seed, int Block);
QByteArray ScaleInfoBlock(bool WithQxt, std::uint16_t Value);

class ScaleEngine {
public:
    explicit ScaleEngine(ScaleConfig Config);

    // HostRate: the speed the host's port is set to.
    void FeedSerial(const QByteArray& Bytes, int HostRate);
    void FeedDatagram(const QByteArray& Datagram);

    bool HasOutput() const { return !m_out.empty(); }
    ScaleWrite TakeWrite();

    // The rate the scale listens at now; 0 while asleep without a fixed rate.
    int ListenRate() const;
    bool Awake() const { return m_awake; }
    const ScaleStats& Stats() const { return m_stats; }
    QString SummaryLine() const;

    std::function<void(const QString&)> OnLog;

private:
    void OnPacket(const std::uint8_t* Packet, bool Serial, int Rate);
    void AnswerByte(std::uint8_t Byte, bool Serial, int Rate);
    void AnswerData(const std::uint8_t* Packet, const QByteArray& Data, bool Serial, int Rate);
    bool PassesFaults(int AnswerNumber);
    void Log(const QString& Text);

    ScaleConfig m_config;
    bool m_awake = false;
    int m_rate = 0;
    QByteArray m_frame; // serial frame being assembled
    std::deque<ScaleWrite> m_out;
    ScaleStats m_stats;
};
