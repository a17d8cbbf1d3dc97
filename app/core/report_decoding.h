#pragma once

#include "app/core/message_table.h"
#include "fm/report_kinds.h"
#include "fm/report_outcome.h"

#include <QChar>
#include <QDateTime>
#include <QString>

#include <functional>

// The headless halves of the report decoders: build the report from a .hex file, write it
// as a new text file in the report folder (never over an existing one), add it to the list
// of reports, and say what the operator is to be told. The window turns the result into its
// memo and message boxes, the command-line tool into its output and exit status.

struct ReportDecodeSettings {
    QString TxtfileDir;   // folder of the report files
    int MachineIndex = 2; // printout width of Detail/Summary (PrintoutWidth)
    int QueryType = 2;    // range of a change report: 0 by Z number, 1 by date, 2 everything
    QString FromText;     // range fields as the operator typed them
    QString ToText;
    QChar DecimalSeparator = QLatin1Char('.'); // of the rates in the tax-rate report
    QString ReportCaption; // the list entry's report type; empty: ReportTypeCaption(Kind)
    // Adds the written report to the list of reports; returns an error text, empty when the
    // entry was added. Unattached: no entry is made.
    std::function<QString(const QString& ReportPath, const QString& Caption)> AddListEntry;
    // Time of the report file's name; unattached: the current local time.
    std::function<QDateTime()> Now;
};

// A message box the owner shows after the decoder ran.
struct DecodeMessage {
    QString Text;             // empty: no message
    QString Caption;          // "warning" for the boxes that carry one, else empty
    bool Information = false; // the box has an information icon
};

struct ReportDecodeResult {
    ReportError Error = ReportError::None; // why no report (or no list entry) came of it
    QString Detail;                        // the system's reason, for a log line
    QString ReportPath;                    // the report file written; empty when none
    bool ListEntryAdded = false;
    // The decoding failed: the owner does not say "Finish" after it. Any failure of any
    // report kind counts, a missing file included; an upload too short to hold a printout
    // (NoReport) does not.
    bool Failed = false;
    DecodeMessage Message;
};

// Marks Result as failed because a file on this computer could not be written (or read
// back); Why names the file and the system's reason and is also the message.
void WriteFailed(ReportDecodeResult& Result, const QString& Why);

// Detail (0) and Summary (1): cuts the printout lines at the machine's width and writes
// "Detail"/"Summary" + stamp + ".txt". Missing file: MsgFileNotExists ("warning", information
// icon). 256 bytes or less: no report, no message, not a failure. The report file or its list
// entry not written: WriteFailed, the file and the reason ("warning"). Any other error (an
// unreadable upload): MsgChooseMachine.
ReportDecodeResult DecodeDetailSummary(const QString& HexFile, ReportKind Kind,
                                       const ReportDecodeSettings& Settings,
                                       const MessageTable& Messages);

// Tax rate (2), currency (3), RAM clearing (4) from a joined file: range first ("'x' is not
// a valid integer value", "Data Error"), then the file (MsgFileNotExists, "warning"), then
// the report; the report file or its list entry not written gives WriteFailed as above; any
// other error gives "data error" ("warning"). Writes "Tax"/"Chy"/"Ram" + stamp + ".txt".
ReportDecodeResult DecodeChangeReport(const QString& HexFile, ReportKind Kind,
                                      const ReportDecodeSettings& Settings,
                                      const MessageTable& Messages);
