#pragma once

#include "sim/device_engine.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>

// The rest of the command set on the simulated device: report uploads (with busy answers and
// the Z report's error 94), the follow-up exchanges, the device check, memory dumps and the
// program downloads. Installed on a DeviceEngine through its handlers.

// The reports the device can send, with the number of bytes each holds by default: the amount
// after which a host considers it complete.
enum class SimReport {
    Clerk,
    Hourly,
    X,
    Z,
    Broadcast,
    Financial,
    PeriodDepartment,
    PeriodFinancial,
    Fiscal,
    CommonData
};

struct CommandPlaySettings {
    int ReportPacket = 64;         // data bytes per report answer
    int ReportSize = -1;           // bytes of every report; -1: each report's default size
    int BusyAnswers = 0;           // the first N report requests are answered "busy"
    bool ZError94 = false;         // Z report requests get the error 94 answer
    std::uint8_t CheckState = 0;   // device-check answer, data byte 1
    std::uint16_t SwVersion = 123; // device-check answer, bytes 5 and 6 as decimal digits
    QString MemoryFile;            // dumps read this image; empty: a generated pattern
    bool NandOnFooterCode = false; // 0x80:0x13 reads NAND flash pages instead of the footer
    std::optional<SimReport> StreamAfterSetBaud; // sent unasked after H_SETBAUD
    int StreamDelayMs = 200;                     // ... this long after the acknowledge
    QString DownloadLog; // program packets received are appended to this file
};

int DefaultReportSize(SimReport Report);
const char* SimReportName(SimReport Report);
// The bytes of a report as this device holds them (text lines naming the report).
QByteArray SimReportContent(SimReport Report, int Size);
// The generated memory image of a dump (used when no --memory file is given).
QByteArray GeneratedMemory(std::uint8_t MemoryClass, std::uint32_t Address, int Count);

class CommandPlayer {
public:
    CommandPlayer(DeviceEngine& Engine, CommandPlaySettings Settings);
    // Reads the memory image; false with Error when it cannot be read.
    bool Load(QString* Error);
    void Install();

private:
    struct ReportState {
        qsizetype Offset = 0;
        int LastSeq = -1;
        QByteArray LastData; // answer to LastSeq, repeated for a retransmission
        std::uint8_t LastParam1 = 0;
    };

    int ReportSize(SimReport Report) const;
    void ResetReports();
    void ServeReport(const DeviceFrame& Request, SimReport Report);
    void ServeFiscal(const DeviceFrame& Request);
    void Stream(SimReport Report, std::uint8_t Code, std::uint8_t FirstSeq, std::uint32_t Address);
    void ServeCheck(const DeviceFrame& Request);
    void ServeDump(const DeviceFrame& Request, std::uint8_t MemoryClass);
    void ServeProgram(const DeviceFrame& Request);
    QByteArray Memory(std::uint8_t MemoryClass, std::uint32_t Address, int Count) const;

    DeviceEngine& m_engine;
    CommandPlaySettings m_settings;
    QByteArray m_memory;
    bool m_haveMemory = false;
    int m_busyLeft = 0;
    std::map<SimReport, ReportState> m_reports;
    std::map<std::uint8_t, int> m_lastProgramSeq; // per download code
};

// Options of orvexfm-sim for these commands.
void AddCommandPlayOptions(QCommandLineParser& Parser);
bool ReadCommandPlayOptions(const QCommandLineParser& Parser, CommandPlaySettings& Settings,
                            QString* Error);
