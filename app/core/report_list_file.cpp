#include "app/core/report_list_file.h"

#include "app/core/system_text.h"

#include <algorithm>
#include <array>

namespace {

constexpr QChar kTab = u'\t';

using Field = QString ReportListEntry::*;

struct Column {
    const char* Name;
    Field Target;
};

// The column order of a list file the program writes.
constexpr std::array<Column, 3> kColumns = {{
    {"ReportType", &ReportListEntry::ReportType},
    {"filename", &ReportListEntry::filename},
    {"dCreate", &ReportListEntry::dCreate},
}};

Field FieldNamed(QStringView name) {
    for (const Column& column : kColumns) {
        if (name.compare(QLatin1StringView(column.Name), Qt::CaseInsensitive) == 0)
            return column.Target;
    }
    return nullptr;
}

QString Cut(const QString& value, int width) {
    if (value.size() <= width)
        return value;
    qsizetype n = width;
    if (n > 0 && value[n - 1].isHighSurrogate())
        --n;
    return value.first(n);
}

QStringList SplitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.sliced(start, i - start));
        if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(text.sliced(start));
    return lines;
}

bool HasControlCharacters(QStringView line) {
    for (const QChar c : line) {
        if (c.unicode() < 0x20 && c != kTab)
            return true;
    }
    return false;
}

QString DecodeListText(const QByteArray& bytes) {
    return DecodeTextFile(bytes, [](QByteArrayView body) {
        return IsValidUtf8(body) ? QString::fromUtf8(body) : DecodeSystemText(body);
    });
}

QString Flatten(const QString& value) {
    QString out = value;
    for (QChar& c : out) {
        if (c == kTab || c == u'\r' || c == u'\n')
            c = u' ';
    }
    return out;
}

} // namespace

ReportListEntry FitReportListEntry(ReportListEntry Entry) {
    Entry.ReportType = Cut(Entry.ReportType, kReportTypeWidth);
    Entry.dCreate = Cut(Entry.dCreate, kDateCreateWidth);
    return Entry;
}

ParsedReportList ParseReportList(const QByteArray& Bytes) {
    ParsedReportList result;
    const QStringList lines = SplitLines(DecodeListText(Bytes));
    if (lines.isEmpty())
        return result;
    result.HasLines = true;

    QList<Field> columns;
    bool anyKnown = false;
    for (const QString& raw : lines.front().split(kTab)) {
        const QString name = raw.trimmed();
        Field field = FieldNamed(name);
        if (field && columns.contains(field)) {
            result.Issues.append({ReportListIssue::Kind::DuplicateColumn, 1, name});
            field = nullptr;
        }
        anyKnown = anyKnown || field;
        columns.append(field);
    }

    qsizetype firstEntryLine = 1;
    if (!anyKnown) {
        // Every field's column would be skipped and each entry come back empty; saving would
        // then wipe the list. A header line lost to damage is the likely cause, so read the
        // lines in the order the program writes them, starting with the first.
        result.Issues.append({ReportListIssue::Kind::NoKnownColumns, 1, lines.front()});
        columns.clear();
        for (const Column& column : kColumns)
            columns.append(column.Target);
        firstEntryLine = lines.front().trimmed().isEmpty() ? 1 : 0;
    }

    for (qsizetype i = firstEntryLine; i < lines.size(); ++i) {
        const QString& line = lines[i];
        const int lineNumber = int(i + 1);
        if (HasControlCharacters(line)) {
            result.Issues.append({ReportListIssue::Kind::DamagedLine, lineNumber, line});
            continue;
        }
        const QStringList values = line.split(kTab);
        ReportListEntry entry;
        const qsizetype used = std::min(values.size(), columns.size());
        for (qsizetype k = 0; k < used; ++k) {
            if (columns[k])
                entry.*columns[k] = values[k];
        }
        if (values.size() > columns.size())
            result.Issues.append({ReportListIssue::Kind::ExtraValues, lineNumber, line});
        result.Entries.append(FitReportListEntry(std::move(entry)));
    }
    return result;
}

QByteArray FormatReportList(const QList<ReportListEntry>& Entries) {
    QString text;
    QStringList names;
    for (const Column& column : kColumns)
        names.append(QLatin1StringView(column.Name));
    text += names.join(kTab) + QStringLiteral("\r\n");
    for (const ReportListEntry& entry : Entries) {
        QStringList values;
        for (const Column& column : kColumns)
            values.append(Flatten(entry.*column.Target));
        text += values.join(kTab) + QStringLiteral("\r\n");
    }
    if (std::optional<QByteArray> bytes = EncodeSystemText(text))
        return *bytes;
    return text.toUtf8();
}
