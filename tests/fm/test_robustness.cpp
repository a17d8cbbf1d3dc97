// Whatever an upload file holds (cut short, empty, huge, garbage), the decoders stay inside
// their buffers and give bounded, well-formed results.

#include "fm/change_report.h"
#include "fm/detail_report.h"
#include "fm/sample_content.h"
#include "fm/upload_layout.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Every report line is at most 40 bytes (no text here overflows a pair line); the number of
// lines is bounded by the header, the table capacity and the footer.
void ExpectSaneChangeReports(const QByteArray& File) {
    const ReportRange ranges[] = {ReportRange{}, ParseReportRange(0, "0", "65535").Range,
                                  ParseReportRange(1, "000101", "991231").Range};
    const struct {
        ReportKind kind;
        int capacity, linesPerEntry;
    } kinds[] = {{ReportKind::Tax, kTaxTableCapacity, 11},
                 {ReportKind::Currency, kCurrencyTableCapacity, 4},
                 {ReportKind::Ram, kRamTableCapacity, 4}};
    for (const auto& k : kinds) {
        for (const ReportRange& range : ranges) {
            const ReportOutcome out = BuildChangeReport(File, k.kind, range, '.');
            ASSERT_TRUE(out.ok());
            ASSERT_LE(out.Lines.size(), 25 + k.capacity * k.linesPerEntry + 1 + 6);
            for (const QByteArray& line : out.Lines)
                ASSERT_LE(line.size(), 40) << line.toHex().constData();
        }
    }
    EXPECT_LE(HeaderLines(File).size(), 25);
    EXPECT_LE(FooterLines(File).size(), 6);
}

void ExpectSaneDetail(const QByteArray& File) {
    for (int width : {20, 40, 42}) {
        const ReportOutcome out = CutDetailSummary(File, width);
        if (File.size() <= 256) {
            ASSERT_EQ(out.Error, ReportError::NoReport);
            continue;
        }
        ASSERT_TRUE(out.ok());
        ASSERT_LE(out.Lines.size(), (File.size() / 256) * (256 / width));
        for (const QByteArray& line : out.Lines) {
            ASSERT_FALSE(line.isEmpty());
            ASSERT_LE(line.size(), width);
            ASSERT_FALSE(line.contains('\0'));
        }
    }
}

} // namespace

TEST(Robustness, EveryTruncationOfAJoinedFile) {
    const QByteArray whole = SampleJoinedChangeFile(11, 2);
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        SCOPED_TRACE(n);
        // A copy of exactly n bytes, so reading past it is caught by the sanitizers.
        const QByteArray cut(whole.constData(), n);
        ExpectSaneChangeReports(cut);
        if (n % 16 == 0)
            ExpectSaneDetail(cut);
    }
}

TEST(Robustness, GarbageAndUniformFiles) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 60; ++round) {
        QByteArray garbage(int(rng() % 6000), '\0');
        for (char& c : garbage)
            c = static_cast<char>(rng());
        ExpectSaneChangeReports(garbage);
        ExpectSaneDetail(garbage);
    }
    for (char fill : {'\0', '\xFF', '\xA5', '\x99', 'A'}) {
        SCOPED_TRACE(int(static_cast<unsigned char>(fill)));
        const QByteArray uniform(5000, fill);
        ExpectSaneChangeReports(uniform);
        ExpectSaneDetail(uniform);
    }
}

TEST(Robustness, HugeFilesAreReadOnlyWhereTheLayoutSays) {
    // 64 MB of non-erased bytes: each table stops at its capacity, the detail cut at the
    // whole blocks.
    const QByteArray huge(64 * 1024 * 1024, '\x11');
    EXPECT_EQ(ReadTaxTable(huge).size(), kTaxTableCapacity);
    EXPECT_EQ(ReadCurrencyTable(huge).size(), kCurrencyTableCapacity);
    EXPECT_EQ(ReadRamTable(huge).size(), kRamTableCapacity);
    EXPECT_EQ(FooterLines(huge).size(), 6);
    const ReportOutcome detail = CutDetailSummary(huge, 42);
    ASSERT_TRUE(detail.ok());
    EXPECT_EQ(detail.Lines.size(), huge.size() / 256 * 6);
    EXPECT_EQ(detail.Lines.front(), QByteArray(42, '\x11'));
}
