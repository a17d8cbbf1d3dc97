#include "fm/detail_report.h"
#include "fm/report_file.h"
#include "fm/sample_content.h"
#include "fm/upload_layout.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Lines = QList<QByteArray>;

// A block whose fields (of Width bytes) hold "w<Width>-<block>-<field>", NUL-ended.
QByteArray NumberedBlock(int Width, int Block) {
    QByteArray b(256, '\0');
    for (int i = 0; i < 256 / Width; ++i) {
        const QByteArray t = "w" + QByteArray::number(Width) + "-" + QByteArray::number(Block) +
                             "-" + QByteArray::number(i);
        b.replace(i * Width, t.size(), t);
    }
    // The bytes after the last whole field carry the end marker, never a line.
    b[254] = '\xA5';
    b[255] = '\xA5';
    return b;
}

} // namespace

TEST(DetailSummary, CutsEveryFieldOfEveryWholeBlock) {
    for (int width : {20, 40, 42}) {
        SCOPED_TRACE(width);
        const int perBlock = 256 / width;
        const QByteArray file = NumberedBlock(width, 0) + NumberedBlock(width, 1);
        const ReportOutcome out = CutDetailSummary(file, width);
        ASSERT_TRUE(out.ok());
        ASSERT_EQ(out.Lines.size(), 2 * perBlock);
        EXPECT_EQ(out.Lines.front(), "w" + QByteArray::number(width) + "-0-0");
        EXPECT_EQ(out.Lines.back(),
                  "w" + QByteArray::number(width) + "-1-" + QByteArray::number(perBlock - 1));
    }
}

TEST(DetailSummary, FieldsEndAtNulAndNulFieldsAreLeftOut) {
    QByteArray block(256, '\0');
    block.replace(0, 40, QByteArray(40, 'A'));               // no NUL: exactly W characters
    block.replace(40, 5, "SHORT");                           // NUL-ended
    block.replace(80, 10, QByteArray("\0HIDDEN\0\0\0", 10)); // first byte NUL: no line at all
    block.replace(120, 3, "X\0Y");                           // text ends at the first NUL
    block.replace(240, 16, QByteArray(16, 'Z'));             // not a field for W = 40
    const QByteArray file = block + QByteArray(256, '\0');
    EXPECT_EQ(CutDetailSummary(file, 40).Lines, (Lines{QByteArray(40, 'A'), "SHORT", "X"}));
    // With W = 42 the fields lie elsewhere: 0-41 holds the 40 A's and "SH".
    EXPECT_EQ(CutDetailSummary(file, 42).Lines.front(), QByteArray(40, 'A') + "SH");
    // W = 42 skips bytes 252-255 of every block.
    QByteArray tail(512, '\0');
    tail.replace(252, 4, "TAIL");
    EXPECT_TRUE(CutDetailSummary(tail, 42).Lines.isEmpty());
    EXPECT_EQ(CutDetailSummary(tail, 20).Lines, (Lines{}));
}

TEST(DetailSummary, SizeRules) {
    const struct {
        const char* name;
        int size;
        ReportError error;
        int lines; // with W = 40, every field filled
    } cases[] = {
        {"empty", 0, ReportError::NoReport, 0},
        {"one block", 256, ReportError::NoReport, 0},
        {"one block and a byte", 257, ReportError::None, 6},
        {"512 bytes", 512, ReportError::None, 12},
        {"600 bytes: last 88 ignored", 600, ReportError::None, 12},
        {"700 bytes: last 188 ignored", 700, ReportError::None, 12},
        {"768 bytes", 768, ReportError::None, 18},
    };
    for (const auto& c : cases) {
        const ReportOutcome out = CutDetailSummary(QByteArray(c.size, 'p'), 40);
        EXPECT_EQ(out.Error, c.error) << c.name;
        EXPECT_EQ(out.Lines.size(), c.lines) << c.name;
    }
    EXPECT_EQ(CutDetailSummary(QByteArray(600, 'p'), 0).Error, ReportError::DataError);
}

TEST(DetailSummary, MachineWidths) {
    const std::pair<int, int> cases[] = {{0, 20}, {1, 40}, {2, 42}, {-1, 42}, {3, 42}};
    for (const auto& [machine, width] : cases)
        EXPECT_EQ(PrintoutWidth(machine), width) << machine;
}

TEST(DetailSummary, SampleUploadsGiveBackTheirPrintoutLines) {
    for (int width : {20, 40, 42}) {
        SCOPED_TRACE(width);
        const Lines detail = SampleDetailLines(5, width, 9);
        EXPECT_EQ(CutDetailSummary(PackPrintoutBlocks(detail, width), width).Lines, detail);
        const Lines summary = SampleSummaryLines(5, width, 4);
        EXPECT_EQ(CutDetailSummary(PackPrintoutBlocks(summary, width), width).Lines, summary);
        for (const QByteArray& line : detail)
            EXPECT_LE(line.size(), width);
    }
    // The last block ends with the device's end marker.
    const QByteArray upload = SampleDetailUpload(5, 40, 9);
    EXPECT_EQ(upload.size() % 256, 0);
    EXPECT_EQ(upload.right(2), "\xA5\xA5");
}

TEST(DetailSummaryFile, MissingUnreadableTooSmallAndGood) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return dir.filePath(name);
    };
    const QString good = write("detail.hex", SampleDetailUpload(9, 20, 3));
    const QString small = write("small.hex", QByteArray(256, 'x'));
    EXPECT_EQ(DecodeDetailSummaryFile(dir.filePath("none.hex"), 1).Error, ReportError::FileMissing);
    EXPECT_EQ(DecodeDetailSummaryFile(dir.path(), 1).Error, ReportError::DataError);
    EXPECT_EQ(DecodeDetailSummaryFile(small, 1).Error, ReportError::NoReport);
    const ReportOutcome out = DecodeDetailSummaryFile(good, 0);
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(out.Lines, SampleDetailLines(9, 20, 3));
}

TEST(DetailSummary, FileBytesPathMatchesTheLines) {
    QByteArray garbage(5000, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 37 + i / 7) % 11 == 0 ? 0 : 'a' + i % 26);
    const QByteArray inputs[] = {SampleDetailUpload(3, 40, 20),
                                 SampleSummaryUpload(3, 20, 5),
                                 garbage,
                                 QByteArray(600, 'q'),
                                 QByteArray(1024, '\0'),
                                 QByteArray(256, 'x'),
                                 QByteArray()};
    for (const QByteArray& input : inputs) {
        for (int width : {20, 40, 42}) {
            SCOPED_TRACE(testing::Message() << input.size() << " bytes, width " << width);
            const ReportOutcome lines = CutDetailSummary(input, width);
            QByteArray bytes = "stale";
            const ReportError error = CutDetailSummaryToFileBytes(input, width, bytes);
            EXPECT_EQ(error, lines.Error);
            EXPECT_EQ(bytes, ReportFileBytes(lines.Lines));
        }
    }
}

TEST(Samples, ShippedFilesAreWhatTheGeneratorWrites) {
    const QList<SampleFile> files = ShippedSampleFiles();
    ASSERT_EQ(files.size(), 3);
    for (const SampleFile& f : files) {
        SCOPED_TRACE(f.Name);
        QFile shipped(QStringLiteral(ORVEXFM_SOURCE_DIR "/samples/") + QLatin1String(f.Name));
        ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
        EXPECT_EQ(shipped.readAll(), f.Bytes);
        EXPECT_EQ(f.Bytes.size() % 256, 0);
        EXPECT_EQ(f.Bytes.right(2), "\xA5\xA5");
    }
    // The Detail sample is a Pelta printout of several blocks; the joined file has a
    // one-block header, the ten change-data blocks and the two footer blocks.
    EXPECT_GT(CutDetailSummary(files[0].Bytes, 40).Lines.size(), 100);
    EXPECT_EQ(files[2].Bytes.size(), 256 + 2560 + 512);
    const QByteArray& joined = files[2].Bytes;
    EXPECT_GE(ReadTaxTable(joined).size(), 4);
    EXPECT_GE(ReadRamTable(joined).size(), 5);
    QList<QByteArray> currencies;
    for (const auto& e : ReadCurrencyTable(joined))
        currencies.append(e.Value.Euro.Currency);
    EXPECT_EQ(currencies, (QList<QByteArray>{"PLN", "EUR", "PLN"}));
    const QList<QByteArray> header = HeaderLines(joined);
    ASSERT_FALSE(header.isEmpty());
    EXPECT_TRUE(std::any_of(header[0].begin(), header[0].end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80;
    })) << "the shop name carries Polish letters";
}
