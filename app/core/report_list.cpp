#include "app/core/report_list.h"

#include "fm/file_writer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <utility>

QChar DateSeparatorOf(const QString& ShortDateFormat) {
    bool quoted = false;
    for (const QChar c : ShortDateFormat) {
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && !c.isLetter() && !c.isSpace())
            return c;
    }
    return u'/';
}

QChar SystemDateSeparator() {
    return DateSeparatorOf(QLocale::system().dateFormat(QLocale::ShortFormat));
}

QString FormatListDate(const QDate& Day, QChar Separator) {
    const auto digits = [](int Value, int Width) {
        return QStringLiteral("%1").arg(Value, Width, 10, QLatin1Char('0'));
    };
    return digits(Day.day(), 2) + Separator + digits(Day.month(), 2) + Separator +
           digits(Day.year(), 4);
}

const ReportListEntry* ReportList::Current() const {
    return m_current >= 0 ? &m_entries[m_current] : nullptr;
}

void ReportList::NotifyCurrent(const QString& FileName) {
    if (OnCurrentChanged)
        OnCurrentChanged(FileName);
}

bool ReportList::SetCurrent(qsizetype Index) {
    if (Index < 0 || Index >= m_entries.size())
        return false;
    if (Index == m_current)
        return true;
    m_current = Index;
    NotifyCurrent(m_entries[m_current].filename);
    return true;
}

void ReportList::AddListEntry(const QString& FileName, const QString& ReportTypeCaption,
                              const QDate& Day) {
    m_entries.append(FitReportListEntry({ReportTypeCaption, FileName, FormatListDate(Day)}));
    m_current = m_entries.size() - 1;
    NotifyCurrent(QString());
}

bool ReportList::DeleteCurrent() {
    if (m_current < 0)
        return false;
    m_entries.removeAt(m_current);
    if (m_current >= m_entries.size())
        m_current = m_entries.size() - 1;
    NotifyCurrent(m_current >= 0 ? m_entries[m_current].filename : QString());
    return true;
}

void ReportList::Assign(const QList<ReportListEntry>& Entries) {
    m_entries.clear();
    m_entries.reserve(Entries.size());
    for (const ReportListEntry& entry : Entries)
        m_entries.append(FitReportListEntry(entry));
    m_current = m_entries.isEmpty() ? -1 : 0;
    NotifyCurrent(m_current >= 0 ? m_entries[0].filename : QString());
}

ReportListLoadResult ReportList::Load(const QString& Path) {
    ReportListLoadResult result;
    if (!QFileInfo(Path).isFile())
        return result;
    QFile file(Path);
    const auto unreadable = [&] {
        result.State = ReportListLoadState::Unreadable;
        result.Error = QStringLiteral("Cannot read %1: %2")
                           .arg(QDir::toNativeSeparators(Path), file.errorString());
        return result;
    };
    if (!file.open(QIODevice::ReadOnly))
        return unreadable();
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable();
    ParsedReportList parsed = ParseReportList(bytes);
    result.Issues = std::move(parsed.Issues);
    if (!parsed.HasLines) {
        result.State = ReportListLoadState::NoLines;
        return result;
    }
    Assign(parsed.Entries);
    result.State = ReportListLoadState::Loaded;
    return result;
}

ReportListSaveResult ReportList::Save(const QString& Path) const {
    ReportListSaveResult result;
    const QString error = ReplaceFileContents(Path, FormatReportList(m_entries));
    if (!error.isEmpty()) {
        result.Error =
            QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(Path), error);
        return result;
    }
    result.Ok = true;
    return result;
}

ReportListUpdateResult AddReportToListFile(const QString& ListPath, const QString& FileName,
                                           const QString& ReportTypeCaption, const QDate& Day) {
    ReportListUpdateResult result;
    ReportList list;
    ReportListLoadResult loaded = list.Load(ListPath);
    result.Issues = std::move(loaded.Issues);
    if (loaded.State == ReportListLoadState::Unreadable) {
        result.Error = loaded.Error;
        return result;
    }
    list.AddListEntry(FileName, ReportTypeCaption, Day);
    const ReportListSaveResult saved = list.Save(ListPath);
    result.Ok = saved.Ok;
    result.Error = saved.Error;
    return result;
}
