#pragma once

#include "link/commands.h"

#include <QString>

#include <optional>
#include <span>

// Report types in the order of the window's report-type selector.
enum class ReportKind { Detail = 0, Summary = 1, Tax = 2, Currency = 3, Ram = 4 };

// Everything that differs between the report kinds, in one row per kind: what the upload asks
// the device for, how the file is decoded and what the report is called.
struct ReportKindInfo {
    ReportKind Kind;
    TEnumVarnCmd Command;   // the exchange that fetches the report's data
    bool NeedsHeaderFooter; // the header and footer exchanges come first (change reports)
    // Printout reports: the range goes to the device and the printout decoder cuts the lines.
    // The others are change reports: the whole memory comes and the range selects entries.
    bool Printout;
    const char* FilePrefix; // start of the report file's name
    const char* Caption;    // report type a list entry records
    const char* CliName;    // --report value of the command-line tool
};

std::span<const ReportKindInfo> ReportKinds();
const ReportKindInfo& ReportKindOf(ReportKind Kind);
// The kind at a selector position; nothing outside the table.
std::optional<ReportKind> ReportKindAt(int Index);
std::optional<ReportKind> ReportKindByCliName(const QString& Name);
QString ReportFilePrefix(ReportKind Kind);
QString ReportTypeCaption(ReportKind Kind);
