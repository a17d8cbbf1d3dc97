// Feeds one arbitrary file to every fiscal-memory reader: field decoder, header and footer,
// the three tables, the change report builder (all kinds, all query types) and the
// Detail/Summary cutter. The checks below are properties that must hold for any input.

#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/field_decoder.h"
#include "fm/report_file.h"
#include "fm/text_helpers.h"
#include "fm/upload_layout.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

namespace {

void Require(bool Condition) {
    if (!Condition)
        std::abort();
}

// Range texts taken from the input itself, so the fuzzer also explores the filters.
QString TextAt(QByteArrayView File, qsizetype Pos, qsizetype Length) {
    if (Pos >= File.size())
        return {};
    return QString::fromLatin1(File.sliced(Pos, std::min(Length, File.size() - Pos)));
}

} // namespace

int FuzzFmOneInput(const std::uint8_t* Data, std::size_t Size) {
    const QByteArrayView file(reinterpret_cast<const char*>(Data), qsizetype(Size));

    for (int kind = 0; kind <= 15; ++kind) {
        for (int count : {0, 1, 2, 3, 4, 6, 8, 9}) {
            const int pos = Size > 0 ? int(Data[0] % 16) : 0;
            const FieldValue v = DecodeField(std::uint8_t(kind), file, pos, count, kind % 4);
            (void)v.toInt();
            (void)v.toText();
        }
    }

    const int h = HeaderAreaLength(file);
    Require(h == 256 || h == 512 || h == 768 || h == 1024);
    Require(HeaderLines(file).size() <= h / kTextFieldWidth);
    Require(FooterLines(file).size() <= kFooterTextFields);
    Require(ReadTaxTable(file).size() <= kTaxTableCapacity);
    Require(ReadCurrencyTable(file).size() <= kCurrencyTableCapacity);
    Require(ReadRamTable(file).size() <= kRamTableCapacity);

    const RangeParse ranges[] = {
        ParseReportRange(0, TextAt(file, 0, 3), TextAt(file, 3, 3)),
        ParseReportRange(1, TextAt(file, 6, 6), TextAt(file, 12, 6)),
        ParseReportRange(2, QString(), QString()),
    };
    for (const ReportKindInfo& kind : ReportKinds()) {
        if (kind.Printout)
            continue;
        for (const RangeParse& range : ranges) {
            if (range.Error != ReportError::None)
                continue;
            const ReportOutcome out = BuildChangeReport(file, kind.Kind, range.Range, ',');
            Require(out.ok());
            Require(out.Lines.size() <= 25 + 200 * 4 + 30 * 11 + 1 + 6);
            for (const QByteArray& line : out.Lines)
                Require(line.size() <= kReportWidth);
        }
    }

    for (int machine = 0; machine <= 2; ++machine) {
        const int width = PrintoutWidth(machine);
        const ReportOutcome out = CutDetailSummary(file, width);
        Require(out.ok() == (Size > 256));
        for (const QByteArray& line : out.Lines)
            Require(!line.isEmpty() && line.size() <= width && !line.contains('\0'));
        QByteArray bytes;
        Require(CutDetailSummaryToFileBytes(file, width, bytes) == out.Error);
        Require(bytes == ReportFileBytes(out.Lines));
    }
    return 0;
}
