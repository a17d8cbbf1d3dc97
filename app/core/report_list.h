#pragma once

#include "app/core/report_list_file.h"

#include <QDate>
#include <QList>
#include <QString>

#include <functional>

// The date separator of the user's regional settings: the first character of the short date
// format that is not part of a field ("dd.MM.yyyy" gives '.'); '/' when it has none.
QChar DateSeparatorOf(const QString& ShortDateFormat);
QChar SystemDateSeparator();

// The day as the list stores it: two-digit day and month, four-digit year, the user's date
// separator between them (e.g. "05/03/2024" or "05.03.2024").
QString FormatListDate(const QDate& Day, QChar Separator = SystemDateSeparator());

enum class ReportListLoadState {
    Missing,    // no file: the list is unchanged
    Unreadable, // the file could not be read: the list is unchanged, Error says why
    NoLines,    // the file holds no line at all: the list is unchanged
    Loaded,     // the list was replaced by the file's entries
};

struct ReportListLoadResult {
    ReportListLoadState State = ReportListLoadState::Missing;
    QString Error;
    QList<ReportListIssue> Issues; // lines not taken as written; worth showing to the operator
};

struct ReportListSaveResult {
    bool Ok = false;
    QString Error;
};

// The list of produced reports, in the order they were added or loaded, with a current entry.
// Owned and used by one thread (the user-interface thread).
class ReportList {
public:
    // Runs on every move of the current entry: loading, SetCurrent, DeleteCurrent and
    // AddListEntry. FileName is the name the status line should show, or empty when it should
    // keep what it shows: an empty list, an entry without a file name, and a freshly appended
    // entry - it becomes current while it is still empty, so the status line keeps what the
    // decoder that adds it put there.
    std::function<void(const QString& FileName)> OnCurrentChanged;

    qsizetype Count() const { return m_entries.size(); }
    bool IsEmpty() const { return m_entries.isEmpty(); }
    const QList<ReportListEntry>& Entries() const { return m_entries; }
    const ReportListEntry& At(qsizetype Index) const { return m_entries.at(Index); }

    // -1 while the list is empty.
    qsizetype CurrentIndex() const { return m_current; }
    const ReportListEntry* Current() const;
    // Makes Index current; false (and no change) when it is out of range.
    bool SetCurrent(qsizetype Index);

    // Appends a report: filename = FileName, dCreate = Day, ReportType = the report-type
    // caption cut to kReportTypeWidth characters. The new entry becomes current.
    void AddListEntry(const QString& FileName, const QString& ReportTypeCaption,
                      const QDate& Day = QDate::currentDate());

    // Removes the current entry (never its file); the entry after it, or else the one before
    // it, becomes current. False when the list is empty.
    bool DeleteCurrent();

    // Replaces the entries (fixed-width fields are cut). The first entry becomes current.
    void Assign(const QList<ReportListEntry>& Entries);

    // Reads a list file. On Loaded the list holds the file's entries and the first is current;
    // otherwise the list is left as it was.
    ReportListLoadResult Load(const QString& Path);

    // Writes the whole list to Path, replacing the file only once the new text is on disk
    // whole; on failure the old file stays as it was and Error names the file and the reason.
    // Shows nothing itself, so it may run after every change of the list.
    ReportListSaveResult Save(const QString& Path) const;

private:
    void NotifyCurrent(const QString& FileName);

    QList<ReportListEntry> m_entries;
    qsizetype m_current = -1;
};

struct ReportListUpdateResult {
    bool Ok = false;
    QString Error;
    QList<ReportListIssue> Issues; // from reading the existing file
};

// For a program that adds one report without keeping the list open (the command-line upload):
// reads the list file at ListPath (a missing one starts an empty list), appends the report and
// writes the file back. A file that exists but cannot be read is left untouched, so its
// entries are not replaced by a list holding only the new one.
ReportListUpdateResult AddReportToListFile(const QString& ListPath, const QString& FileName,
                                           const QString& ReportTypeCaption,
                                           const QDate& Day = QDate::currentDate());
