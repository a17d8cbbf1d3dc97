#pragma once

#include "fm/report_outcome.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

inline constexpr int kPrintoutBlockSize = 256;

// Printout width of the machine selector's entries: 0 "ORVEX Lumo" 20, 1 "ORVEX Pelta" 40,
// 2 "ZT9/ZT7" (and no or any other selection) 42.
int PrintoutWidth(int MachineIndex);

// Cuts the printout lines of a Detail or Summary upload: in every whole 256-byte block,
// 256 div Width fields of Width bytes; a field's text ends at its first NUL and a field
// starting with NUL is left out. A trailing part block is ignored. An upload of 256 bytes
// or less gives a NoReport outcome. Width must be positive (else DataError).
ReportOutcome CutDetailSummary(QByteArrayView File, int Width);

// The report file's bytes (every line ended by CR LF) cut straight from the upload, without
// a copy per line: the path for whole-memory uploads of megabytes. Same rules and errors as
// CutDetailSummary; Out is left empty on an error.
ReportError CutDetailSummaryToFileBytes(QByteArrayView File, int Width, QByteArray& Out);

// From a path: FileMissing, DataError (unreadable), NoReport, or the lines.
ReportOutcome DecodeDetailSummaryFile(const QString& Path, int MachineIndex);
