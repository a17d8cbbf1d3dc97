#include "fm/change_report.h"
#include "fm/sample_content.h"
#include "fm_fixtures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Lines = QList<QByteArray>;

const QByteArray kSep = "- - - - - - - - - - - - - - - - - - - - ";

QByteArray Pair(const QByteArray& Left, const QByteArray& Right) {
    return Left + QByteArray(40 - Left.size() - Right.size(), ' ') + Right;
}

ReportRange All() {
    return ReportRange{};
}

ReportRange ByZ(int From, int To) {
    ReportRange r;
    r.QueryType = 0;
    r.ZFrom = From;
    r.ZTo = To;
    return r;
}

ReportRange ByDate(const char* From, const char* To) {
    ReportRange r;
    r.QueryType = 1;
    r.DateFrom = From;
    r.DateTo = To;
    return r;
}

Lines Build(const QByteArray& File, ReportKind Kind, const ReportRange& Range, QChar Sep = '.') {
    const ReportOutcome out = BuildChangeReport(File, Kind, Range, Sep);
    EXPECT_TRUE(out.ok()) << out.message().toStdString();
    return out.Lines;
}

const QByteArray kHeader = HeaderArea({"SKLEP \xA3\xD3\x8C", "ul. Prosta 1"});
const QByteArray kFooter = FooterArea({"FOOT 1", "", "FOOT 3"});
const Lines kHeaderLines = {"SKLEP \xA3\xD3\x8C", "ul. Prosta 1"};
const Lines kFooterLines = {"FOOT 1", "FOOT 3"};

Lines Concat(std::initializer_list<Lines> Parts) {
    Lines all;
    for (const Lines& p : Parts)
        all += p;
    return all;
}

} // namespace

TEST(ChangeReport, TaxBlockWithExemptNotInUseAndOddRates) {
    const std::uint16_t rates[9] = {2300, 800, 0, 500, 9999, 65535, 10000, 9999, 1};
    ChangeData data;
    data.Tax(0, EncodeTaxChange(rates, 24, 1, 15, 123));
    const Lines expected = Concat({kHeaderLines,
                                   {
                                       kSep,
                                       Pair("2024/01/15", "000123"),
                                       Pair("PTU A", "23.00%"),
                                       Pair("PTU B", "8.00%"),
                                       Pair("PTU C", "0.00%"),
                                       Pair("PTU D", "5.00%"),
                                       Pair("PTU E", "--"),
                                       Pair("PTU F", "655.35%"),
                                       Pair("G", "SP.ZW.PTU"),
                                       Pair("PTU H", "--"),
                                       Pair("PTU I", "0.01%"),
                                       kSep,
                                   },
                                   kFooterLines});
    EXPECT_EQ(Build(Joined(kHeader, data, kFooter), ReportKind::Tax, All()), expected);

    // The decimal separator is a parameter (the user's regional settings).
    const Lines comma = Build(Joined(kHeader, data, kFooter), ReportKind::Tax, All(), ',');
    EXPECT_EQ(comma[kHeaderLines.size() + 2], Pair("PTU A", "23,00%"));
    EXPECT_EQ(comma[kHeaderLines.size() + 7], Pair("PTU F", "655,35%"));
}

TEST(ChangeReport, ErasedFirstRecordGivesHeaderSeparatorFooter) {
    const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
    ChangeData data;
    data.Tax(1, EncodeTaxChange(rates, 24, 1, 15, 123)); // behind the erased first record
    const Lines expected = Concat({kHeaderLines, {kSep}, kFooterLines});
    for (ReportKind kind : {ReportKind::Tax, ReportKind::Currency, ReportKind::Ram})
        EXPECT_EQ(Build(Joined(kHeader, data, kFooter), kind, All()), expected)
            << static_cast<int>(kind);
}

TEST(ChangeReport, CurrencyBlocks) {
    ChangeData data;
    data.Currency(0, EncodeCurrencyChange(19, 3, 1, 8, 0, 1, "PLN"))
        .Currency(1, EncodeCurrencyChange(24, 3, 1, 12, 30, 123, "EUR"));
    const Lines expected = Concat(
        {kHeaderLines,
         {kSep, "", Pair("2019/03/01", "08:00"), "WALUTA EWIDENC." + QByteArray(22, ' ') + "PLN",
          kSep, "", Pair("2024/03/01", "12:30"), Pair("WALUTA EWIDENC.", "EUR"), kSep},
         kFooterLines});
    EXPECT_EQ(Build(Joined(kHeader, data, kFooter), ReportKind::Currency, All()), expected);
    // The Z number only filters; it is not printed.
    const Lines second = Build(Joined(kHeader, data, kFooter), ReportKind::Currency, ByZ(100, 200));
    EXPECT_EQ(second,
              Concat({kHeaderLines,
                      {kSep, "", Pair("2024/03/01", "12:30"), Pair("WALUTA EWIDENC.", "EUR"), kSep},
                      kFooterLines}));
}

TEST(ChangeReport, RamNumbersCountEveryEntryOfTheTable) {
    ChangeData data;
    for (int i = 0; i < 5; ++i)
        data.Ram(i, EncodeRamClearing(10 * (i + 1), 20 + i, 3, 1, 12, 30 + i, i % 2 == 0));
    const QByteArray file = Joined(kHeader, data, kFooter);
    auto block = [](int nr, int year, int minute) {
        return Lines{
            kSep, "",
            Pair("20" + QByteArray::number(year) + "/03/01", "12:" + QByteArray::number(minute)),
            Pair("ZEROWANIE RAM Z", QByteArray("NR00") + QByteArray::number(nr))};
    };
    // Only the third entry (Z 30): NR003.
    EXPECT_EQ(Build(file, ReportKind::Ram, ByZ(25, 35)),
              Concat({kHeaderLines, block(3, 22, 32), {kSep}, kFooterLines}));
    // Second to fourth by date.
    const Lines byDate = Build(file, ReportKind::Ram, ByDate("2021/03/01", "2023/03/01"));
    EXPECT_EQ(byDate, Concat({kHeaderLines,
                              block(2, 21, 31),
                              block(3, 22, 32),
                              block(4, 23, 33),
                              {kSep},
                              kFooterLines}));
    const Lines second = Build(file, ReportKind::Ram, ByZ(20, 20));
    EXPECT_EQ(second, Concat({kHeaderLines, block(2, 21, 31), {kSep}, kFooterLines}));
}

TEST(ChangeReport, RangeBoundsAreInclusive) {
    const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
    ChangeData data;
    const struct {
        int y, m, d, z;
    } records[] = {{23, 12, 31, 4}, {24, 1, 1, 5}, {24, 6, 15, 5}, {24, 12, 31, 6}, {25, 1, 1, 7}};
    for (int i = 0; i < 5; ++i)
        data.Tax(i, EncodeTaxChange(rates, records[i].y, records[i].m, records[i].d, records[i].z));
    const QByteArray file = Joined(kHeader, data, kFooter);
    auto dates = [&](const ReportRange& range) {
        Lines shown;
        for (const QByteArray& line : Build(file, ReportKind::Tax, range)) {
            if (line.startsWith("20") && line.size() == 40)
                shown.append(line.left(10));
        }
        return shown;
    };
    const struct {
        const char* name;
        ReportRange range;
        Lines dates;
    } cases[] = {
        {"whole year 2024",
         ParseReportRange(1, "240101", "241231").Range,
         {"2024/01/01", "2024/06/15", "2024/12/31"}},
        {"Z 5 to 5", ByZ(5, 5), {"2024/01/01", "2024/06/15"}},
        {"Z 4 to 7",
         ByZ(4, 7),
         {"2023/12/31", "2024/01/01", "2024/06/15", "2024/12/31", "2025/01/01"}},
        {"Z below everything", ByZ(0, 3), {}},
        {"single day", ByDate("2024/12/31", "2024/12/31"), {"2024/12/31"}},
        {"any other query type",
         ReportRange{7, 0, 0, {}, {}},
         {"2023/12/31", "2024/01/01", "2024/06/15", "2024/12/31", "2025/01/01"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dates(c.range), c.dates) << c.name;
}

TEST(ChangeReport, UndecodableRecordIsListedWithEmptyTextsUnlessDateFiltered) {
    const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
    QByteArray bad = EncodeTaxChange(rates, 24, 1, 15, 123);
    bad[18] = '\x3A'; // day byte with a nibble above 9
    ChangeData data;
    data.Tax(0, bad);
    const QByteArray file = Joined(kHeader, data, kFooter);
    const Lines all = Build(file, ReportKind::Tax, All());
    ASSERT_EQ(all.size(), kHeaderLines.size() + 11 + 1 + kFooterLines.size());
    EXPECT_EQ(all[kHeaderLines.size() + 1], Pair("", "000000"));
    EXPECT_EQ(all[kHeaderLines.size() + 2], Pair("PTU A", "23.00%"));
    // Z 0 is what the filter sees.
    EXPECT_EQ(Build(file, ReportKind::Tax, ByZ(0, 0)).size(), all.size());
    EXPECT_EQ(Build(file, ReportKind::Tax, ByZ(123, 123)).size(),
              kHeaderLines.size() + 1 + kFooterLines.size());
    // An empty date text sorts before every date.
    EXPECT_EQ(Build(file, ReportKind::Tax, ByDate("2000/01/01", "2099/12/31")).size(),
              kHeaderLines.size() + 1 + kFooterLines.size());
}

TEST(ChangeReport, KindOutsideTheChangeReportsIsADataError) {
    for (int kind : {-1, 0, 1, 5}) {
        const ReportOutcome out =
            BuildChangeReport(SampleJoinedChangeFile(1), static_cast<ReportKind>(kind), All(), '.');
        EXPECT_EQ(out.Error, ReportError::DataError) << kind;
        EXPECT_TRUE(out.Lines.isEmpty());
    }
}

TEST(ReportRange, ParsesTheWindowFields) {
    const struct {
        const char* name;
        int type;
        QString from, to;
        ReportError error;
        QString detail;
        int zFrom, zTo;
        QByteArray dFrom, dTo;
    } cases[] = {
        {"z", 0, "5", "5", ReportError::None, "", 5, 5, "", ""},
        {"z blanks before", 0, " 1", "20", ReportError::None, "", 1, 20, "", ""},
        {"z backwards", 0, "6", "5", ReportError::RangeError, "", 6, 5, "", ""},
        {"z from not a number", 0, "12a", "x", ReportError::InvalidInteger, "12a", 0, 0, "", ""},
        {"z to not a number", 0, "1", "", ReportError::InvalidInteger, "", 0, 0, "", ""},
        {"date", 1, "240101", "241231", ReportError::None, "", 0, 0, "2024/01/01", "2024/12/31"},
        {"date backwards", 1, "241231", "240101", ReportError::RangeError, "", 0, 0, "2024/12/31",
         "2024/01/01"},
        {"date short text", 1, "24", "2412", ReportError::None, "", 0, 0, "2024//", "2024/12/"},
        {"whole FM ignores texts", 2, "zz", "yy", ReportError::None, "", 0, 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RangeParse p = ParseReportRange(c.type, c.from, c.to);
        EXPECT_EQ(p.Error, c.error);
        EXPECT_EQ(p.Detail, c.detail);
        if (p.Error == ReportError::InvalidInteger)
            continue;
        EXPECT_EQ(p.Range.ZFrom, c.zFrom);
        EXPECT_EQ(p.Range.ZTo, c.zTo);
        EXPECT_EQ(p.Range.DateFrom, c.dFrom);
        EXPECT_EQ(p.Range.DateTo, c.dTo);
    }
    ReportOutcome invalid;
    invalid.Error = ReportError::InvalidInteger;
    invalid.Detail = "12a";
    EXPECT_EQ(invalid.message(), "'12a' is not a valid integer value");
}

TEST(ChangeReport, FormatsRatesLikeTheDevice) {
    const struct {
        double rate;
        QChar sep;
        const char* text;
    } cases[] = {{0, '.', "0.00%"},        {8, '.', "8.00%"},   {23, '.', "23.00%"},
                 {655.35, '.', "655.35%"}, {23, ',', "23,00%"}, {5.5, ',', "5,50%"}};
    for (const auto& c : cases)
        EXPECT_EQ(FormatRate(c.rate, c.sep), c.text) << c.rate;
    EXPECT_EQ(SeparatorLine(), kSep);
    EXPECT_EQ(SeparatorLine().size(), 40);
}

TEST(ChangeReportFile, ChecksRangeThenFileThenContent) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = dir.filePath("joined.hex");
    {
        QFile f(good);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(SampleJoinedChangeFile(3));
    }
    const QString missing = dir.filePath("missing.hex");
    const struct {
        const char* name;
        QString path;
        ReportKind kind;
        int type;
        QString from, to;
        ReportError error;
    } cases[] = {
        {"good", good, ReportKind::Tax, 2, "", "", ReportError::None},
        {"range checked before the file", missing, ReportKind::Tax, 0, "6", "5",
         ReportError::RangeError},
        {"integers checked first", missing, ReportKind::Currency, 0, "a", "5",
         ReportError::InvalidInteger},
        {"missing file", missing, ReportKind::Ram, 2, "", "", ReportError::FileMissing},
        {"empty path", QString(), ReportKind::Ram, 2, "", "", ReportError::FileMissing},
        {"directory is unreadable", dir.path(), ReportKind::Tax, 2, "", "", ReportError::DataError},
        {"not a change kind", good, ReportKind::Detail, 2, "", "", ReportError::DataError},
    };
    for (const auto& c : cases) {
        const ReportOutcome out = DecodeChangeReportFile(c.path, c.kind, c.type, c.from, c.to, '.');
        EXPECT_EQ(out.Error, c.error) << c.name;
        EXPECT_EQ(out.ok(), !out.Lines.isEmpty()) << c.name;
    }
    const ReportOutcome ok = DecodeChangeReportFile(good, ReportKind::Tax, 2, "", "", '.');
    EXPECT_EQ(ok.Lines,
              BuildChangeReport(SampleJoinedChangeFile(3), ReportKind::Tax, All(), '.').Lines);
}
