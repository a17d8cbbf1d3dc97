#include "app/core/report_list_file.h"

#include "tests/app/qt_print.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Kind = ReportListIssue::Kind;

// Keeps embedded NUL bytes that a plain const char* would end at.
template <std::size_t N> QByteArray Raw(const char (&bytes)[N]) {
    return QByteArray(bytes, N - 1);
}

ReportListEntry E(const char* type, const char* file, const char* day) {
    return {QString::fromUtf8(type), QString::fromUtf8(file), QString::fromUtf8(day)};
}

struct ParseCase {
    const char* name;
    QByteArray bytes;
    std::vector<ReportListEntry> entries;
    std::vector<std::pair<Kind, int>> issues; // kind, line
};

void PrintTo(const ParseCase& c, std::ostream* out) {
    *out << c.name;
}

class ParseList : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseList, LoadsEachValueIntoItsField) {
    const ParseCase& c = GetParam();
    const ParsedReportList parsed = ParseReportList(c.bytes);
    EXPECT_TRUE(parsed.HasLines);
    EXPECT_EQ(std::vector<ReportListEntry>(parsed.Entries.begin(), parsed.Entries.end()),
              c.entries);
    std::vector<std::pair<Kind, int>> issues;
    for (const ReportListIssue& issue : parsed.Issues)
        issues.emplace_back(issue.What, issue.Line);
    EXPECT_EQ(issues, c.issues);
}

const ParseCase kParseCases[] = {
    {"HeaderOnly", "ReportType\tfilename\tdCreate\r\n", {}, {}},
    {"HeaderOnlyWithoutLineEnd", "ReportType\tfilename\tdCreate", {}, {}},
    {"TwoEntries",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\tC:\\OrvexFM\\Txtfile\\Detail20240131_12345.txt\t31/01/2024\r\n"
     "Summary\t/srv/fm/Txtfile/Summary20240201_00001.txt\t01/02/2024\r\n",
     {E("Detail", "C:\\OrvexFM\\Txtfile\\Detail20240131_12345.txt", "31/01/2024"),
      E("Summary", "/srv/fm/Txtfile/Summary20240201_00001.txt", "01/02/2024")},
     {}},
    {"ColumnsInAnotherOrder",
     "dCreate\tfilename\tReportType\r\n"
     "31/01/2024\t/r/Tax.txt\tChange t\r\n",
     {E("Change t", "/r/Tax.txt", "31/01/2024")},
     {}},
    {"ColumnNamesIgnoreCase",
     "REPORTTYPE\tFileName\tDCREATE\r\n"
     "Detail\t/r/a.txt\t31/01/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024")},
     {}},
    {"UnknownColumnSkipped",
     "ReportType\tSize\tfilename\tdCreate\r\n"
     "Detail\t1234\t/r/a.txt\t31/01/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024")},
     {}},
    {"MissingColumnLeavesFieldEmpty",
     "filename\tdCreate\r\n"
     "/r/a.txt\t31/01/2024\r\n",
     {E("", "/r/a.txt", "31/01/2024")},
     {}},
    {"FewerValuesLeaveFieldsEmpty",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\t/r/a.txt\r\n"
     "Summary\r\n",
     {E("Detail", "/r/a.txt", ""), E("Summary", "", "")},
     {}},
    {"EmptyValuesStayEmpty",
     "ReportType\tfilename\tdCreate\r\n"
     "\t/r/a.txt\t\r\n",
     {E("", "/r/a.txt", "")},
     {}},
    {"ExtraValuesIgnoredAndReported",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\t/r/a.txt\t31/01/2024\tjunk\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024")},
     {{Kind::ExtraValues, 2}}},
    {"BlankLineGivesEmptyEntry",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\t/r/a.txt\t31/01/2024\r\n"
     "\r\n"
     "Summary\t/r/b.txt\t01/02/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024"), E("", "", ""), E("Summary", "/r/b.txt", "01/02/2024")},
     {}},
    {"LineFeedAndLoneCarriageReturnEndLines",
     "ReportType\tfilename\tdCreate\n"
     "Detail\t/r/a.txt\t31/01/2024\r"
     "Summary\t/r/b.txt\t01/02/2024",
     {E("Detail", "/r/a.txt", "31/01/2024"), E("Summary", "/r/b.txt", "01/02/2024")},
     {}},
    {"FixedWidthFieldsCut",
     "ReportType\tfilename\tdCreate\r\n"
     "Change the currency\t/r/a.txt\t31/01/2024 12:00\r\n",
     {E("Change t", "/r/a.txt", "31/01/2024")},
     {}},
    {"NulBytesFromACrashSkipLineOnly",
     Raw("ReportType\tfilename\tdCreate\r\n"
         "Detail\t/r/a.txt\t31/01/2024\r\n"
         "Summ\0\0\0\0\0\0\0\0\r\n"
         "Summary\t/r/b.txt\t01/02/2024\r\n"),
     {E("Detail", "/r/a.txt", "31/01/2024"), E("Summary", "/r/b.txt", "01/02/2024")},
     {{Kind::DamagedLine, 3}}},
    {"OtherControlCharactersSkipLine",
     "ReportType\tfilename\tdCreate\r\n"
     "Det\x1B[0mail\t/r/a.txt\t31/01/2024\r\n"
     "Summary\t/r/b.txt\t01/02/2024\r\n",
     {E("Summary", "/r/b.txt", "01/02/2024")},
     {{Kind::DamagedLine, 2}}},
    {"LostHeaderReadInWrittenOrder",
     "Detail\t/r/a.txt\t31/01/2024\r\n"
     "Summary\t/r/b.txt\t01/02/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024"), E("Summary", "/r/b.txt", "01/02/2024")},
     {{Kind::NoKnownColumns, 1}}},
    {"BlankHeaderLine",
     "\r\n"
     "Detail\t/r/a.txt\t31/01/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024")},
     {{Kind::NoKnownColumns, 1}}},
    {"DuplicateColumnKeepsTheFirst",
     "ReportType\tfilename\tFILENAME\tdCreate\r\n"
     "Detail\t/r/a.txt\t/r/other.txt\t31/01/2024\r\n",
     {E("Detail", "/r/a.txt", "31/01/2024")},
     {{Kind::DuplicateColumn, 1}}},
    {"Windows1250Path",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\tC:\\Raporty \xA3\xF3"
     "d\x9F\\Detail.txt\t31/01/2024\r\n",
     {E("Detail", "C:\\Raporty Łódź\\Detail.txt", "31/01/2024")},
     {}},
    {"Utf8Path",
     "ReportType\tfilename\tdCreate\r\n"
     "Detail\t/home/\xD0\xBE\xD0\xBF/\xE6\x8A\xA5\xE5\x91\x8A.txt\t31/01/2024\r\n",
     {E("Detail", "/home/оп/报告.txt", "31/01/2024")},
     {}},
    {"Utf8ByteOrderMark",
     "\xEF\xBB\xBFReportType\tfilename\tdCreate\r\n"
     "Detail\t/r/\xC5\x82.txt\t31/01/2024\r\n",
     {E("Detail", "/r/ł.txt", "31/01/2024")},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ParseList, testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseReportList, NoLineAtAll) {
    const ParsedReportList parsed = ParseReportList(QByteArray());
    EXPECT_FALSE(parsed.HasLines);
    EXPECT_TRUE(parsed.Entries.isEmpty());
    EXPECT_TRUE(parsed.Issues.isEmpty());
}

TEST(FormatReportList, WritesHeaderAndEntriesWithCrLf) {
    struct Case {
        const char* name;
        QList<ReportListEntry> entries;
        QByteArray expected;
    };
    const Case cases[] = {
        {"empty list", {}, "ReportType\tfilename\tdCreate\r\n"},
        {"two entries",
         {E("Detail", "/r/a.txt", "31/01/2024"), E("", "", "")},
         "ReportType\tfilename\tdCreate\r\n"
         "Detail\t/r/a.txt\t31/01/2024\r\n"
         "\t\t\r\n"},
        {"Polish path stays Windows-1250",
         {E("Detail", "C:\\Raporty Łódź\\a.txt", "31/01/2024")},
         "ReportType\tfilename\tdCreate\r\n"
         "Detail\tC:\\Raporty \xA3\xF3"
         "d\x9F\\a.txt\t31/01/2024\r\n"},
        {"path outside Windows-1250 is written as UTF-8",
         {E("Detail", "/r/ł/报告.txt", "31/01/2024")},
         "ReportType\tfilename\tdCreate\r\n"
         "Detail\t/r/\xC5\x82/\xE6\x8A\xA5\xE5\x91\x8A.txt\t31/01/2024\r\n"},
        {"separators inside a value become blanks",
         {E("Detail", "/r/a\tb\r\nc.txt", "31/01/2024")},
         "ReportType\tfilename\tdCreate\r\n"
         "Detail\t/r/a b  c.txt\t31/01/2024\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatReportList(c.entries), c.expected) << c.name;
}

TEST(FormatReportList, EveryWrittenListReadsBackTheSame) {
    const QString longPath = QStringLiteral("/srv/") + QString(300, u'x') + QStringLiteral(".txt");
    const QList<QList<ReportListEntry>> lists = {
        {},
        {E("Detail", "/r/a.txt", "31/01/2024")},
        {E("", "", ""), E("Summary", "", "01/02/2024"), E("", "/r/b.txt", "")},
        {E("Change t", "C:\\Raporty Łódź\\Tax.txt", "31/01/2024"),
         E("RAM Clea", "/home/оп/报告.txt", "29/02/2024"),
         E("Detail", longPath.toUtf8().constData(), "01/03/2024")},
    };
    for (const QList<ReportListEntry>& entries : lists) {
        const ParsedReportList parsed = ParseReportList(FormatReportList(entries));
        EXPECT_EQ(parsed.Entries, entries);
        EXPECT_TRUE(parsed.Issues.isEmpty());
    }
}

} // namespace
