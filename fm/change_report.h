#pragma once

#include "fm/report_kinds.h"
#include "fm/report_outcome.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QList>
#include <QString>

// Width of every line of the change reports.
inline constexpr int kReportWidth = 40;

// The range of a change report. Query type 0 selects by Z number, 1 by the record's
// "20yy/mm/dd" date compared as text, any other value selects everything. Both bounds are
// inclusive.
struct ReportRange {
    int QueryType = 2;
    int ZFrom = 0;
    int ZTo = 0;
    QByteArray DateFrom;
    QByteArray DateTo;

    bool Selects(int ZNumber, const QByteArray& DateText) const;
};

struct RangeParse {
    ReportError Error = ReportError::None; // None, InvalidInteger or RangeError
    QString Detail;                        // the text that is not a whole number
    ReportRange Range;
};

// Reads the range as the window's fields give it: for query type 0 the two texts must be
// whole numbers (From first); for type 1 each yymmdd text becomes "20yy/mm/dd" (short texts
// give short parts). A range that runs backwards is a RangeError.
RangeParse ParseReportRange(int QueryType, const QString& FromText, const QString& ToText);

// "- - - ... " : twenty hyphen-space pairs.
QByteArray SeparatorLine();

// A rate as "%2.2f%%" with the given decimal separator (23.00%, 8.00%, 655.35%).
QByteArray FormatRate(double Rate, QChar DecimalSeparator);

// The report lines for a joined change file: header lines, one block per selected entry of
// the kind's table, a closing separator, footer lines. Kind must be a change report (Tax,
// Currency, Ram); a printout kind gives a DataError outcome.
ReportOutcome BuildChangeReport(QByteArrayView File, ReportKind Kind, const ReportRange& Range,
                                QChar DecimalSeparator);

// The whole decoding step from a path: range fields first, then the file's existence, then
// the file's content.
ReportOutcome DecodeChangeReportFile(const QString& Path, ReportKind Kind, int QueryType,
                                     const QString& FromText, const QString& ToText,
                                     QChar DecimalSeparator);
