#pragma once

#include "fm/change_report.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Machine-readable forms of a change report for accounting tools: the selected entries of
// the kind's table (tax, currency, RAM clearing; a printout kind has none) with every
// decoded field, as UTF-8. Device text is decoded from Windows-1250; dates are ISO 8601
// (yyyy-MM-dd, empty or null when the stored date is not a calendar date or did not
// decode), times hh:mm.
QByteArray ChangeReportCsv(QByteArrayView File, ReportKind Kind, const ReportRange& Range);
QByteArray ChangeReportJson(QByteArrayView File, ReportKind Kind, const ReportRange& Range,
                            const QString& RangeText);
