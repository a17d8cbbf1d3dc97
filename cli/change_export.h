#pragma once

#include "fm/change_report.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Machine-readable forms of a change report for accounting tools: the selected entries of
// the kind's table (Kind 2 tax, 3 currency, 4 RAM clearing) with every decoded field, as
// UTF-8. Device text is decoded from Windows-1250; dates are ISO 8601 (yyyy-MM-dd, empty or
// null when the stored date is not a calendar date or did not decode), times hh:mm.
QByteArray ChangeReportCsv(QByteArrayView File, int Kind, const ReportRange& Range);
QByteArray ChangeReportJson(QByteArrayView File, int Kind, const ReportRange& Range,
                            const QString& RangeText);
