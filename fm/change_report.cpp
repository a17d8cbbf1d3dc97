#include "fm/change_report.h"

#include "fm/cp1250.h"
#include "fm/field_decoder.h"
#include "fm/text_helpers.h"
#include "fm/upload_layout.h"

#include <charconv>
#include <cstdio>

namespace {

QByteArray PairLine(const QByteArray& Left, const QByteArray& Right) {
    return PadLine(Left, Right, 3, kReportWidth);
}

// "20" + characters 1-2 + "/" + 3-4 + "/" + 5-6 of a yymmdd text.
QByteArray RangeDate(const QString& Text) {
    const QByteArray t = UnicodeToCp1250(Text);
    return "20" + t.mid(0, 2) + '/' + t.mid(2, 2) + '/' + t.mid(4, 2);
}

QByteArray ThreeDigits(int Value) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "%.3d", Value);
    return QByteArray(buf, n);
}

QByteArray SixDigits(int Value) {
    char buf[16];
    const int n = std::snprintf(buf, sizeof buf, "%.6d", Value);
    return QByteArray(buf, n);
}

void AddTaxBlock(QList<QByteArray>& Lines, const EPROM_TAX& Tax, QChar DecimalSeparator) {
    Lines.append(SeparatorLine());
    Lines.append(PairLine(Tax.DateText, SixDigits(Tax.ZNumber)));
    for (int i = 0; i < kTaxLetterCount; ++i) {
        const QByteArray letter(1, kTaxLetters[i]);
        const double rate = Tax.Rates[i];
        if (rate == kExemptRate)
            Lines.append(PairLine(letter, "SP.ZW.PTU"));
        else if (rate == kNotInUseRate)
            Lines.append(PairLine("PTU " + letter, "--"));
        else
            Lines.append(PairLine("PTU " + letter, FormatRate(rate, DecimalSeparator)));
    }
}

void AddTaxBlocks(QList<QByteArray>& Lines, QByteArrayView File, const ReportRange& Range,
                  QChar DecimalSeparator) {
    for (const auto& entry : ReadTaxTable(File)) {
        if (Range.Selects(entry.Value.ZNumber, entry.Value.DateText))
            AddTaxBlock(Lines, entry.Value, DecimalSeparator);
    }
}

void AddCurrencyBlocks(QList<QByteArray>& Lines, QByteArrayView File, const ReportRange& Range,
                       QChar) {
    for (const auto& entry : ReadCurrencyTable(File)) {
        const EPROM_EURO& euro = entry.Value.Euro;
        if (!Range.Selects(euro.ZNumber, euro.DateText))
            continue;
        Lines.append(SeparatorLine());
        Lines.append(QByteArray());
        Lines.append(PairLine(euro.DateText, euro.TimeText));
        Lines.append(PairLine("WALUTA EWIDENC.", euro.Currency));
    }
}

void AddRamBlocks(QList<QByteArray>& Lines, QByteArrayView File, const ReportRange& Range, QChar) {
    const auto table = ReadRamTable(File);
    for (qsizetype j = 0; j < table.size(); ++j) {
        const EPROM_RECOVERY& ram = table[j].Value;
        if (!Range.Selects(ram.ZNumber, ram.DateText))
            continue;
        Lines.append(SeparatorLine());
        Lines.append(QByteArray());
        Lines.append(PairLine(ram.DateText, ram.TimeText));
        // NR counts every entry of the table, selected or not.
        Lines.append(PairLine("ZEROWANIE RAM Z", "NR" + ThreeDigits(int(j) + 1)));
    }
}

// The blocks of the selected entries of a kind's table, between the header and the closing
// separator.
using EntryBlocks = void (*)(QList<QByteArray>& Lines, QByteArrayView File,
                             const ReportRange& Range, QChar DecimalSeparator);

// Every kind is named, so that a kind added to the table without its blocks is a compiler
// warning here; the printouts, and a value outside the table, have none.
EntryBlocks EntryBlocksOf(ReportKind Kind) {
    switch (Kind) {
    case ReportKind::Tax:
        return AddTaxBlocks;
    case ReportKind::Currency:
        return AddCurrencyBlocks;
    case ReportKind::Ram:
        return AddRamBlocks;
    case ReportKind::Detail:
    case ReportKind::Summary:
        break;
    }
    return nullptr;
}

} // namespace

bool ReportRange::Selects(int ZNumber, const QByteArray& DateText) const {
    switch (QueryType) {
    case 0:
        return ZFrom <= ZNumber && ZNumber <= ZTo;
    case 1:
        return DateFrom <= DateText && DateText <= DateTo;
    default:
        return true;
    }
}

RangeParse ParseReportRange(int QueryType, const QString& FromText, const QString& ToText) {
    RangeParse result;
    result.Range.QueryType = QueryType;
    if (QueryType == 0) {
        const auto from = ParseDecimalInt(UnicodeToCp1250(FromText));
        if (!from) {
            result.Error = ReportError::InvalidInteger;
            result.Detail = FromText;
            return result;
        }
        const auto to = ParseDecimalInt(UnicodeToCp1250(ToText));
        if (!to) {
            result.Error = ReportError::InvalidInteger;
            result.Detail = ToText;
            return result;
        }
        result.Range.ZFrom = *from;
        result.Range.ZTo = *to;
        if (*from > *to)
            result.Error = ReportError::RangeError;
    } else if (QueryType == 1) {
        result.Range.DateFrom = RangeDate(FromText);
        result.Range.DateTo = RangeDate(ToText);
        if (result.Range.DateFrom > result.Range.DateTo)
            result.Error = ReportError::RangeError;
    }
    return result;
}

QByteArray SeparatorLine() {
    QByteArray line;
    for (int i = 0; i < 20; ++i)
        line += "- ";
    return PadLine(line, QByteArray(), 2, kReportWidth);
}

QByteArray FormatRate(double Rate, QChar DecimalSeparator) {
    // "%2.2f%%" with the separator given: the digits come from to_chars, which ignores the
    // process locale, and the separator is put in afterwards.
    char buf[400];
    const auto result = std::to_chars(buf, buf + sizeof buf, Rate, std::chars_format::fixed, 2);
    QByteArray text(buf, result.ec == std::errc() ? result.ptr - buf : 0);
    const qsizetype point = text.indexOf('.');
    if (point >= 0)
        text.replace(point, 1, UnicodeToCp1250(QString(DecimalSeparator)));
    return text + '%';
}

ReportOutcome BuildChangeReport(QByteArrayView File, ReportKind Kind, const ReportRange& Range,
                                QChar DecimalSeparator) {
    ReportOutcome out;
    const EntryBlocks addBlocks = EntryBlocksOf(Kind);
    if (addBlocks == nullptr) {
        out.Error = ReportError::DataError;
        out.Detail =
            QStringLiteral("report kind %1 is not a change report").arg(static_cast<int>(Kind));
        return out;
    }
    QList<QByteArray>& lines = out.Lines;
    lines = HeaderLines(File);
    addBlocks(lines, File, Range, DecimalSeparator);
    lines.append(SeparatorLine());
    lines.append(FooterLines(File));
    return out;
}

ReportOutcome DecodeChangeReportFile(const QString& Path, ReportKind Kind, int QueryType,
                                     const QString& FromText, const QString& ToText,
                                     QChar DecimalSeparator) {
    ReportOutcome out;
    const RangeParse range = ParseReportRange(QueryType, FromText, ToText);
    if (range.Error != ReportError::None) {
        out.Error = range.Error;
        out.Detail = range.Detail;
        return out;
    }
    const auto data = ReadUploadFile(Path, out);
    if (!data)
        return out;
    return BuildChangeReport(*data, Kind, range.Range, DecimalSeparator);
}
