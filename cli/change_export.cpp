#include "cli/change_export.h"

#include "fm/cp1250.h"
#include "fm/upload_layout.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>

#include <charconv>

namespace {

QString IsoDate(int Year, int Month, int Day, const QByteArray& DateText) {
    if (DateText.isEmpty())
        return {}; // the record's BCD bytes did not decode
    const QDate date(2000 + Year, Month, Day);
    return date.isValid() ? date.toString(Qt::ISODate) : QString();
}

QString IsoTime(int Hour, int Minute, const QByteArray& TimeText) {
    if (TimeText.isEmpty())
        return {};
    const QTime time(Hour, Minute);
    return time.isValid() ? time.toString(QStringLiteral("HH:mm")) : QString();
}

enum class RateStatus { Rate, Exempt, NotInUse };

RateStatus StatusOf(double Rate) {
    if (Rate == kExemptRate)
        return RateStatus::Exempt;
    if (Rate == kNotInUseRate)
        return RateStatus::NotInUse;
    return RateStatus::Rate;
}

const char* StatusName(RateStatus Status) {
    switch (Status) {
    case RateStatus::Exempt:
        return "exempt";
    case RateStatus::NotInUse:
        return "not_in_use";
    case RateStatus::Rate:
        break;
    }
    return "rate";
}

QByteArray Decimal2(double Value) {
    char buf[400];
    const auto result = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::fixed, 2);
    return QByteArray(buf, result.ec == std::errc() ? result.ptr - buf : 0);
}

// RFC 4180 field: quoted when it holds a separator, a quote or a line break.
QByteArray CsvField(const QString& Text) {
    QByteArray utf8 = Text.toUtf8();
    if (utf8.contains(',') || utf8.contains('"') || utf8.contains('\n') || utf8.contains('\r')) {
        utf8.replace("\"", "\"\"");
        return '"' + utf8 + '"';
    }
    return utf8;
}

QByteArray CsvRow(const QList<QByteArray>& Fields) {
    QByteArray row;
    for (qsizetype i = 0; i < Fields.size(); ++i) {
        if (i > 0)
            row += ',';
        row += Fields[i];
    }
    return row + "\r\n";
}

QByteArray Bool(bool Value) {
    return Value ? "true" : "false";
}

QJsonValue JsonText(const QString& Text) {
    return Text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Text);
}

QJsonArray JsonLines(const QList<QByteArray>& Lines) {
    QJsonArray out;
    for (const QByteArray& line : Lines)
        out.append(Cp1250ToUnicode(line));
    return out;
}

} // namespace

QByteArray ChangeReportCsv(QByteArrayView File, ReportKind Kind, const ReportRange& Range) {
    QByteArray out;
    switch (Kind) {
    case ReportKind::Tax: {
        out +=
            CsvRow({"position", "date", "z_number", "letter", "status", "rate_percent", "decoded"});
        const auto table = ReadTaxTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_TAX& tax = table[j].Value;
            if (!Range.Selects(tax.ZNumber, tax.DateText))
                continue;
            for (int i = 0; i < kTaxLetterCount; ++i) {
                const RateStatus status = StatusOf(tax.Rates[i]);
                out += CsvRow({QByteArray::number(j + 1),
                               CsvField(IsoDate(tax.Year, tax.Month, tax.Day, tax.DateText)),
                               QByteArray::number(tax.ZNumber), QByteArray(1, kTaxLetters[i]),
                               StatusName(status),
                               status == RateStatus::Rate ? Decimal2(tax.Rates[i]) : QByteArray(),
                               Bool(table[j].Decoded)});
            }
        }
        break;
    }
    case ReportKind::Currency: {
        out += CsvRow({"position", "date", "time", "z_number", "currency", "decoded"});
        const auto table = ReadCurrencyTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_EURO& e = table[j].Value.Euro;
            if (!Range.Selects(e.ZNumber, e.DateText))
                continue;
            out += CsvRow(
                {QByteArray::number(j + 1), CsvField(IsoDate(e.Year, e.Month, e.Day, e.DateText)),
                 CsvField(IsoTime(e.Hour, e.Minute, e.TimeText)), QByteArray::number(e.ZNumber),
                 CsvField(Cp1250ToUnicode(e.Currency)), Bool(table[j].Decoded)});
        }
        break;
    }
    case ReportKind::Ram: {
        out += CsvRow({"position", "date", "time", "z_number", "decoded"});
        const auto table = ReadRamTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_RECOVERY& r = table[j].Value;
            if (!Range.Selects(r.ZNumber, r.DateText))
                continue;
            out += CsvRow({QByteArray::number(j + 1),
                           CsvField(IsoDate(r.Year, r.Month, r.Day, r.DateText)),
                           CsvField(IsoTime(r.Hour, r.Minute, r.TimeText)),
                           QByteArray::number(r.ZNumber), Bool(table[j].Decoded)});
        }
        break;
    }
    case ReportKind::Detail:
    case ReportKind::Summary:
        break; // printouts have no change records
    }
    return out;
}

QByteArray ChangeReportJson(QByteArrayView File, ReportKind Kind, const ReportRange& Range,
                            const QString& RangeText) {
    QJsonArray records;
    switch (Kind) {
    case ReportKind::Tax: {
        const auto table = ReadTaxTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_TAX& tax = table[j].Value;
            if (!Range.Selects(tax.ZNumber, tax.DateText))
                continue;
            QJsonArray rates;
            for (int i = 0; i < kTaxLetterCount; ++i) {
                const RateStatus status = StatusOf(tax.Rates[i]);
                rates.append(QJsonObject{
                    {"letter", QString(QChar(kTaxLetters[i]))},
                    {"status", StatusName(status)},
                    {"percent", status == RateStatus::Rate ? QJsonValue(tax.Rates[i])
                                                           : QJsonValue(QJsonValue::Null)},
                });
            }
            records.append(QJsonObject{
                {"position", int(j + 1)},
                {"date", JsonText(IsoDate(tax.Year, tax.Month, tax.Day, tax.DateText))},
                {"z_number", tax.ZNumber},
                {"rates", rates},
                {"decoded", table[j].Decoded},
            });
        }
        break;
    }
    case ReportKind::Currency: {
        const auto table = ReadCurrencyTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_EURO& e = table[j].Value.Euro;
            if (!Range.Selects(e.ZNumber, e.DateText))
                continue;
            records.append(QJsonObject{
                {"position", int(j + 1)},
                {"date", JsonText(IsoDate(e.Year, e.Month, e.Day, e.DateText))},
                {"time", JsonText(IsoTime(e.Hour, e.Minute, e.TimeText))},
                {"z_number", e.ZNumber},
                {"currency", Cp1250ToUnicode(e.Currency)},
                {"decoded", table[j].Decoded},
            });
        }
        break;
    }
    case ReportKind::Ram: {
        const auto table = ReadRamTable(File);
        for (qsizetype j = 0; j < table.size(); ++j) {
            const EPROM_RECOVERY& r = table[j].Value;
            if (!Range.Selects(r.ZNumber, r.DateText))
                continue;
            records.append(QJsonObject{
                {"position", int(j + 1)},
                {"date", JsonText(IsoDate(r.Year, r.Month, r.Day, r.DateText))},
                {"time", JsonText(IsoTime(r.Hour, r.Minute, r.TimeText))},
                {"z_number", r.ZNumber},
                {"decoded", table[j].Decoded},
            });
        }
        break;
    }
    case ReportKind::Detail:
    case ReportKind::Summary:
        break;
    }
    const QJsonObject root{
        {"report", ReportKindOf(Kind).CliName},
        {"range", RangeText},
        {"header", JsonLines(HeaderLines(File))},
        {"footer", JsonLines(FooterLines(File))},
        {"records", records},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
