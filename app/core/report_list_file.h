#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One produced report in the list of reports. The field names are also the column names of
// the list file.
struct ReportListEntry {
    QString ReportType; // caption of the report type, at most kReportTypeWidth characters
    QString filename;   // full path of the text report
    QString dCreate;    // day the entry was added, "dd/mm/yyyy", at most kDateCreateWidth

    bool operator==(const ReportListEntry&) const = default;
};

inline constexpr int kReportTypeWidth = 8;
inline constexpr int kDateCreateWidth = 10;
// Nominal width of the file name column. Paths are not cut to it: a cut path would point to
// a file that does not exist (Linux paths may be far longer than the old 256-character limit).
inline constexpr int kFilenameWidth = 256;

inline constexpr char kReportListFileName[] = "FMList.txt";

// Cuts the fields that have a fixed width (ReportType, dCreate) to that width, as storing an
// entry does. A cut never splits a surrogate pair.
ReportListEntry FitReportListEntry(ReportListEntry Entry);

// Something in a list file that was not taken as written.
struct ReportListIssue {
    enum class Kind {
        NoKnownColumns,  // the first line names no field: read as an entry in file order
        DuplicateColumn, // a field named twice in the first line: the later column is skipped
        DamagedLine,     // control characters (e.g. NUL bytes left by a crash): line skipped
        ExtraValues,     // more values than columns: the extra values were ignored
    };
    Kind What;
    int Line; // 1-based line number in the file
    QString Text;

    bool operator==(const ReportListIssue&) const = default;
};

struct ParsedReportList {
    bool HasLines = false; // false: the file holds no line at all
    QList<ReportListEntry> Entries;
    QList<ReportListIssue> Issues;
};

// Reads the text of a list file. The first line names the columns (TAB-separated, matched to
// fields without regard to letter case; unknown names are skipped); every further line is one
// entry whose n-th value goes to the n-th column's field. Missing values leave fields empty,
// a blank line gives an entry with all fields empty. Lines end at CR LF, LF or a lone CR.
// Text is Windows-1250 unless it is valid UTF-8 or starts with a UTF-8 byte-order mark.
ParsedReportList ParseReportList(const QByteArray& Bytes);

// The whole list file: the header line, then one line per entry, values joined by TAB, every
// line ending in CR LF. Windows-1250 when every character has a byte there (which keeps the
// file byte-for-byte what the program has always written), UTF-8 otherwise so that no path
// is damaged. TAB, CR and LF inside a value would break the line structure; each becomes a
// space.
QByteArray FormatReportList(const QList<ReportListEntry>& Entries);
