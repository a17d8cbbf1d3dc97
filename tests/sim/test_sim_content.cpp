#include "fm/sample_content.h"
#include "sim/content_source.h"
#include "sim/device_engine.h"
#include "sim/sim_content.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

bool ContainsLine(const QList<QByteArray>& Lines, const QByteArray& Part) {
    for (const auto& l : Lines) {
        if (l.contains(Part))
            return true;
    }
    return false;
}

QList<int> DailyReportsIn(const QList<QByteArray>& Lines) {
    QList<int> z;
    for (const auto& l : Lines) {
        const qsizetype at = l.indexOf("RAPORT DOBOWY NR ");
        if (at >= 0)
            z.append(l.mid(at + 17, 4).toInt());
    }
    return z;
}

QList<int> Range(int First, int Last) {
    QList<int> r;
    for (int i = First; i <= Last; ++i)
        r.append(i);
    return r;
}

} // namespace

TEST(PrintoutRange, ParsesRequestData) {
    using K = PrintoutRange::Kind;
    struct Case {
        const char* hex;
        std::optional<PrintoutRange> expected;
    };
    const Case cases[] = {
        {"0000012100", PrintoutRange{K::ZNumbers, 1, 2100}},
        {"0012345678", PrintoutRange{K::ZNumbers, 1234, 5678}},
        {"01240101241231", PrintoutRange{K::Dates, 240101, 241231}},
        {"", PrintoutRange{K::Whole, 0, 0}},
        {"00000121", PrintoutRange{K::Whole, 0, 0}}, // too short for a Z range
        {"012401012412", PrintoutRange{K::Whole, 0, 0}},
        {"0200010002", PrintoutRange{K::Whole, 0, 0}}, // unknown kind
        {"00000F2100", std::nullopt},                  // nibble above 9
        {"0124A101241231", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(ParsePrintoutRange(QByteArray::fromHex(c.hex)), c.expected);
    }
}

TEST(FiscalBlocks, ClearsMarkersBeforeTheLastBlock) {
    // Two blocks each ending with A5 A5, as a footer may come: the host must get both.
    QByteArray in(512, 'f');
    for (int at : {254, 255, 510, 511})
        in[at] = static_cast<char>(0xA5);
    const QByteArray out = ToFiscalBlocks(in);
    ASSERT_EQ(out.size(), 512);
    EXPECT_EQ(out.left(254), in.left(254));
    EXPECT_EQ(out.mid(254, 2), QByteArray(2, '\0'));
    EXPECT_EQ(out.mid(256), in.mid(256));
}

TEST(FiscalBlocks, PadsAndMarksTheLastBlockOnly) {
    struct Case {
        int size;
        int markerAt; // -1: the content has none of its own
        int blocks;
    };
    const Case cases[] = {{0, -1, 1}, {10, -1, 1}, {256, -1, 1}, {257, -1, 2}, {512, 254, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        QByteArray in(c.size, 'a');
        if (c.markerAt >= 0)
            in[c.size - 256 + c.markerAt] = static_cast<char>(0xA5);
        const QByteArray out = ToFiscalBlocks(in);
        ASSERT_EQ(out.size(), c.blocks * 256);
        // The content stays, except that a missing marker takes the very last byte.
        const qsizetype kept =
            c.markerAt < 0 ? std::min<qsizetype>(c.size, out.size() - 1) : c.size;
        EXPECT_EQ(out.left(kept), in.left(kept));
        if (c.size < out.size() - 1) {
            EXPECT_EQ(out.mid(c.size, out.size() - 1 - c.size),
                      QByteArray(out.size() - 1 - c.size, '\0'));
        }
        const QByteArray last = out.right(256);
        if (c.markerAt == 254)
            EXPECT_EQ(static_cast<std::uint8_t>(last[255]), 'a'); // left as it was
        else
            EXPECT_EQ(static_cast<std::uint8_t>(last[255]), 0xA5);
        for (int b = 0; b < c.blocks - 1; ++b)
            EXPECT_NE(static_cast<std::uint8_t>(out[b * 256 + 255]), 0xA5);
    }
}

TEST(GeneratedContent, DetailFollowsTheRequestedRange) {
    using K = PrintoutRange::Kind;
    struct Case {
        const char* what;
        PrintoutRange range;
        QList<int> reports;
        bool totals;
    };
    const Case cases[] = {
        {"whole", {K::Whole, 0, 0}, Range(1, 30), true},
        {"all by Z", {K::ZNumbers, 1, 2100}, Range(1, 30), true},
        {"Z 3..5", {K::ZNumbers, 3, 5}, Range(3, 5), false},
        {"Z past the end", {K::ZNumbers, 28, 40}, Range(28, 30), false},
        {"Z none", {K::ZNumbers, 40, 50}, {}, false},
        {"dates 2024-01-10..12", {K::Dates, 240110, 240112}, Range(10, 12), false},
        {"dates before the memory", {K::Dates, 230101, 231231}, {}, false},
    };
    GeneratedContent content({7, 40, 30, 1});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QList<QByteArray> lines = content.DetailLines(c.range);
        EXPECT_EQ(DailyReportsIn(lines), c.reports);
        EXPECT_EQ(ContainsLine(lines, "RAZEM"), c.totals);
        EXPECT_TRUE(ContainsLine(lines, "KONIEC RAPORTU"));
        for (const auto& l : lines)
            EXPECT_LE(l.size(), 40);
        if (!c.reports.isEmpty() && !c.totals) {
            // The period lines name the first and last selected day.
            const QByteArray from = QDate(2024, 1, 1)
                                        .addDays(c.reports.first() - 1)
                                        .toString(QStringLiteral("yyyy-MM-dd"))
                                        .toLatin1();
            const QByteArray to = QDate(2024, 1, 1)
                                      .addDays(c.reports.last() - 1)
                                      .toString(QStringLiteral("yyyy-MM-dd"))
                                      .toLatin1();
            EXPECT_TRUE(lines[2].startsWith("od") && lines[2].endsWith(from)) << lines[2].data();
            EXPECT_TRUE(lines[3].startsWith("do") && lines[3].endsWith(to)) << lines[3].data();
        }
    }
    // The whole memory is exactly the generator's printout.
    EXPECT_EQ(content.FiscalMemory(FmArea::Detail, {}), SampleDetailUpload(7, 40, 30));
}

TEST(GeneratedContent, OtherAreasComeFromTheGenerator) {
    GeneratedContent content({5, 42, 90, 2});
    EXPECT_EQ(content.FiscalMemory(FmArea::Header, {}), SampleHeaderBlocks(5, 2));
    EXPECT_EQ(content.FiscalMemory(FmArea::Footer, {}), SampleFooterBlocks(5));
    EXPECT_EQ(content.ChangeData(), SampleChangeDataArea(5));
    // 90 days from 2024-01-01 reach into March: three monthly sections.
    EXPECT_EQ(content.FiscalMemory(FmArea::Summary, {}), SampleSummaryUpload(5, 42, 3));
    EXPECT_EQ(content.FiscalMemory(FmArea::Summary, {PrintoutRange::Kind::ZNumbers, 1, 20}),
              SampleSummaryUpload(5, 42, 1));
}

TEST(FileContent, FilesOverrideTheFallbackPerArea) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString detail = dir.filePath(QStringLiteral("d.hex"));
    const QString eprom = dir.filePath(QStringLiteral("e.bin"));
    QFile f(detail);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("detail bytes");
    f.close();
    QFile g(eprom);
    ASSERT_TRUE(g.open(QIODevice::WriteOnly));
    g.write(QByteArray(768, 'e'));
    g.close();

    auto fallback = std::make_shared<FixedContent>();
    fallback->SetArea(FmArea::Detail, "fallback detail");
    fallback->SetArea(FmArea::Footer, "fallback footer");
    fallback->SetChangeData("fallback eprom");
    FileContent content(fallback);
    QString error;
    ASSERT_TRUE(content.LoadArea(FmArea::Detail, detail, &error)) << error.toStdString();
    ASSERT_TRUE(content.LoadChangeData(eprom, &error));
    EXPECT_EQ(content.FiscalMemory(FmArea::Detail, {}), QByteArray("detail bytes"));
    EXPECT_EQ(content.FiscalMemory(FmArea::Footer, {}), QByteArray("fallback footer"));
    EXPECT_EQ(content.ChangeData(), QByteArray(768, 'e'));

    EXPECT_FALSE(content.LoadArea(FmArea::Header, dir.filePath(QStringLiteral("missing")), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("missing")));
}
