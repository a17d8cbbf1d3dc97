#include "fm/sample_content.h"
#include "fm/upload_layout.h"
#include "fm_fixtures.h"
#include "tests/support/file_size_limit.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QByteArray Hex(const char* Text) {
    return QByteArray::fromHex(Text);
}

} // namespace

TEST(RecordDecoders, KnownTaxRecord) {
    EPROM_TAX tax;
    ASSERT_TRUE(DecodeTaxChange(Hex("FC082003F4010000 0F270F2710270F270F27 150124 7B00"), tax));
    const double expected[] = {23.00, 8.00, 5.00, 0.00, 99.99, 99.99, 100.00, 99.99, 99.99};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(tax.Rates[i], expected[i]) << kTaxLetters[i];
    EXPECT_EQ(tax.Day, 15);
    EXPECT_EQ(tax.Month, 1);
    EXPECT_EQ(tax.Year, 24);
    EXPECT_EQ(tax.ZNumber, 123);
    EXPECT_EQ(tax.DateText, "2024/01/15");
}

TEST(RecordDecoders, KnownRamAndCurrencyRecords) {
    const struct {
        QByteArray bytes;
        int z;
        const char *date, *time, *stamp;
    } ram[] = {
        {Hex("7B00240381123 0"), 123, "2024/03/01", "12:30", "01-03-24 12:30"},
        {Hex("01001912950805"), 1, "2019/12/15", "08:05", "15-12-19 08:05"}, // day 0x95 -> 15
        {Hex("FFFF990931 2359"), 65535, "2099/09/31", "23:59", "31-09-99 23:59"},
    };
    for (const auto& c : ram) {
        EPROM_RECOVERY r;
        ASSERT_TRUE(DecodeRamClearing(c.bytes, r)) << c.bytes.toHex().constData();
        EXPECT_EQ(r.ZNumber, c.z);
        EXPECT_EQ(r.DateText, c.date);
        EXPECT_EQ(r.TimeText, c.time);
        EXPECT_EQ(r.StampText, c.stamp);
    }

    const struct {
        QByteArray bytes;
        const char *date, *time, *currency;
        int z;
    } currency[] = {
        {Hex("240301123 07B00 455552") + QByteArray(10, '\x11'), "2024/03/01", "12:30", "EUR", 123},
        {Hex("991231235 90100 455500") + QByteArray(10, '\0'), "2099/12/31", "23:59", "EU", 1},
        {Hex("000101000 00000 000000") + QByteArray(10, '\0'), "2000/01/01", "00:00", "", 0},
    };
    for (const auto& c : currency) {
        EPROM_EURO e;
        ASSERT_TRUE(DecodeCurrencyChange(c.bytes, e)) << c.bytes.toHex().constData();
        EXPECT_EQ(e.DateText, c.date);
        EXPECT_EQ(e.TimeText, c.time);
        EXPECT_EQ(e.Currency, c.currency);
        EXPECT_EQ(e.ZNumber, c.z);
    }
}

TEST(RecordDecoders, ABadBcdByteStopsDecodingButKeepsEarlierFields) {
    EPROM_TAX tax;
    // Month byte 0x1A: the day is kept, month, year and Z stay 0, the date text empty.
    EXPECT_FALSE(DecodeTaxChange(Hex("FC082003F4010000 0F270F2710270F270F27 151A24 7B00"), tax));
    EXPECT_EQ(tax.Rates[0], 23.0);
    EXPECT_EQ(tax.Day, 15);
    EXPECT_EQ(tax.Month, 0);
    EXPECT_EQ(tax.Year, 0);
    EXPECT_EQ(tax.ZNumber, 0);
    EXPECT_TRUE(tax.DateText.isEmpty());

    EPROM_EURO euro;
    EXPECT_FALSE(DecodeCurrencyChange(Hex("2403011F307B00455552") + QByteArray(10, '\0'), euro));
    EXPECT_EQ(euro.Year, 24);
    EXPECT_EQ(euro.Day, 1);
    EXPECT_EQ(euro.Hour, 0); // 0x1F does not convert
    EXPECT_EQ(euro.ZNumber, 0);
    EXPECT_TRUE(euro.Currency.isEmpty());
    EXPECT_TRUE(euro.DateText.isEmpty());
    EXPECT_TRUE(euro.TimeText.isEmpty());

    EPROM_RECOVERY ram;
    EXPECT_FALSE(DecodeRamClearing(Hex("7B002403 01AA30"), ram));
    EXPECT_EQ(ram.ZNumber, 123); // decoded before the bad byte
    EXPECT_EQ(ram.Day, 1);
    EXPECT_EQ(ram.Hour, 0);
    EXPECT_TRUE(ram.DateText.isEmpty());
    EXPECT_TRUE(ram.TimeText.isEmpty());
    EXPECT_TRUE(ram.StampText.isEmpty());
}

TEST(RecordDecoders, RateValuesAndShortRecords) {
    const std::pair<std::uint16_t, double> rates[] = {
        {2300, 23.00}, {800, 8.00}, {10000, 100.00}, {9999, 99.99}, {0xFFFF, 655.35}, {1, 0.01},
    };
    for (const auto& [stored, percent] : rates) {
        const std::uint16_t all[9] = {stored, stored, stored, stored, stored,
                                      stored, stored, stored, stored};
        EPROM_TAX tax;
        ASSERT_TRUE(DecodeTaxChange(EncodeTaxChange(all, 24, 1, 15, 7), tax));
        EXPECT_EQ(tax.Rates[8], percent) << stored;
    }
    // A record cut short reads 0xFF in its missing bytes: Z 0xFFFF.
    EPROM_TAX cut;
    EXPECT_TRUE(DecodeTaxChange(Hex("FC082003F4010000 0F270F2710270F270F27 150124"), cut));
    EXPECT_EQ(cut.ZNumber, 65535);
    EXPECT_EQ(cut.DateText, "2024/01/15");
    // ...and a missing BCD byte (0xFF) does not convert.
    EPROM_EURO euro;
    EXPECT_FALSE(DecodeCurrencyChange(Hex("2403"), euro));
    EXPECT_EQ(euro.Month, 3);
}

TEST(IsErasedRecord, OnlyAllFFCounts) {
    EXPECT_TRUE(IsErasedRecord(QByteArray(23, '\xFF'), 23));
    EXPECT_FALSE(IsErasedRecord(QByteArray(22, '\xFF') + '\xFE', 23));
    EXPECT_TRUE(IsErasedRecord(QByteArray(7, '\xFF') + '\0', 7));
    EXPECT_TRUE(IsErasedRecord(QByteArray(), 0));
    EXPECT_FALSE(IsErasedRecord(QByteArray(3, '\xFF'), 7)); // never reads past the bytes
}

TEST(HeaderArea, LengthFromTheFirstBlockEndingWithTheMarker) {
    auto marked = [](int size, std::initializer_list<int> ends) {
        QByteArray f(size, 'x');
        for (int end : ends) {
            f[end - 2] = '\xA5';
            f[end - 1] = '\xA5';
        }
        return f;
    };
    const struct {
        const char* name;
        QByteArray file;
        int h;
    } cases[] = {
        {"first block", marked(4000, {256}), 256},
        {"second block", marked(4000, {512}), 512},
        {"third block", marked(4000, {768}), 768},
        {"second and third: smallest wins", marked(4000, {512, 768}), 512},
        {"fourth block only", marked(4000, {1024}), 1024},
        {"no marker", QByteArray(4000, 'x'), 1024},
        {"half a marker", QByteArray(254, 'x') + "\xA5x", 1024},
        {"short file", QByteArray(100, '\xA5'), 1024},
        {"empty file", QByteArray(), 1024},
        {"exactly one marked block", marked(256, {256}), 256},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HeaderAreaLength(c.file), c.h) << c.name;
}

TEST(HeaderArea, LinesAreTheTextFieldsOfTheHeaderArea) {
    // Every 40-byte field of the first 1024 bytes carries its own number, so the lines show
    // which fields were read.
    auto numbered = [](int markerEnd) {
        QByteArray f(3000, '\0');
        for (int i = 0; i * 40 < 1024; ++i) {
            const QByteArray t = "L" + QByteArray::number(i);
            f.replace(i * 40, t.size(), t);
        }
        if (markerEnd > 0) {
            f[markerEnd - 2] = '\xA5';
            f[markerEnd - 1] = '\xA5';
        }
        return f;
    };
    const struct {
        int markerEnd;
        int lines;
    } cases[] = {{256, 6}, {512, 12}, {768, 19}, {0, 25}};
    for (const auto& c : cases) {
        const QList<QByteArray> lines = HeaderLines(numbered(c.markerEnd));
        ASSERT_EQ(lines.size(), c.lines) << c.markerEnd;
        EXPECT_EQ(lines.front(), "L0");
        EXPECT_EQ(lines.back(), "L" + QByteArray::number(c.lines - 1));
    }
    // Field 18 of a 768-byte header is cut from bytes 720-759, whole when it has no NUL.
    QByteArray f = numbered(768);
    f.replace(720, 40, QByteArray(40, 'Q'));
    EXPECT_EQ(HeaderLines(f).back(), QByteArray(40, 'Q'));
    // Absent fields leave no line.
    EXPECT_EQ(HeaderLines(HeaderArea({"", "SHOP", "", "TOWN"})),
              (QList<QByteArray>{"SHOP", "TOWN"}));
}

TEST(FooterArea, SixFieldsOfTheFirstFooterBlock) {
    QByteArray footer = FooterArea({"F1", "", "F3", "F4", "F5", "F6"});
    footer.replace(240, 8, "NOTREAD!"); // bytes 240-255 of the block are not text
    const QByteArray file = HeaderArea({"H"}) + ChangeData().Bytes + footer;
    EXPECT_EQ(FooterLines(file), (QList<QByteArray>{"F1", "F3", "F4", "F5", "F6"}));
    EXPECT_TRUE(FooterLines(footer.left(511)).isEmpty());
    EXPECT_EQ(FooterLines(footer), (QList<QByteArray>{"F1", "F3", "F4", "F5", "F6"}));
}

TEST(Tables, StartAfterTheHeaderAndEndAtErasedRecordOrCapacity) {
    const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
    ChangeData data;
    data.Tax(0, EncodeTaxChange(rates, 24, 1, 15, 5))
        .Tax(1, EncodeTaxChange(rates, 24, 6, 1, 6))
        .Tax(3, EncodeTaxChange(rates, 25, 1, 1, 9)) // behind the erased record 2
        .Currency(0, EncodeCurrencyChange(24, 3, 1, 12, 30, 123, "PLN"))
        .Ram(0, EncodeRamClearing(1, 19, 1, 2, 3, 4));
    // A record with 0xFF in only some bytes is decoded.
    QByteArray partial = EncodeRamClearing(2, 20, 1, 1, 1, 1);
    partial[0] = '\xFF';
    data.Ram(1, partial);
    const QByteArray file = Joined(HeaderArea({"SHOP"}), data, FooterArea({"F"}));

    const auto tax = ReadTaxTable(file);
    ASSERT_EQ(tax.size(), 2);
    EXPECT_EQ(tax[0].Value.ZNumber, 5);
    EXPECT_EQ(tax[1].Value.DateText, "2024/06/01");
    const auto cur = ReadCurrencyTable(file);
    ASSERT_EQ(cur.size(), 1);
    EXPECT_EQ(cur[0].Value.Euro.Currency, "PLN");
    // The currency table starts at offset 272 of a file with a 256-byte header.
    EXPECT_EQ(file.mid(272 + 7, 3), "PLN");
    const auto ram = ReadRamTable(file);
    ASSERT_EQ(ram.size(), 2);
    EXPECT_EQ(ram[1].Value.ZNumber, 0x00FF);

    // Capacity: a full table of non-erased records stops at 30 / 10 / 200.
    ChangeData full;
    full.Bytes.fill('\0');
    const QByteArray fullFile = Joined(HeaderArea({}), full, FooterArea({}));
    EXPECT_EQ(ReadTaxTable(fullFile).size(), kTaxTableCapacity);
    EXPECT_EQ(ReadCurrencyTable(fullFile).size(), kCurrencyTableCapacity);
    EXPECT_EQ(ReadRamTable(fullFile).size(), kRamTableCapacity);
}

TEST(Tables, FileEndReadsAsErasedMemory) {
    const std::uint16_t rates[9] = {2300, 800, 500, 0, 9999, 9999, 10000, 9999, 9999};
    ChangeData data;
    data.Tax(0, EncodeTaxChange(rates, 24, 1, 15, 5)).Tax(1, EncodeTaxChange(rates, 24, 2, 1, 6));
    const QByteArray whole = HeaderArea({}) + data.Bytes;
    const int taxStart = 256 + kTaxTableOffset;
    // Cut inside the second record's Z number: it is decoded with 0xFF in the missing byte.
    const auto cut = ReadTaxTable(whole.left(taxStart + kTaxRecordSize + 22));
    ASSERT_EQ(cut.size(), 2);
    EXPECT_EQ(cut[1].Value.ZNumber, 0xFF06);
    // Cut right after the first record: the second is wholly past the end and ends the run.
    EXPECT_EQ(ReadTaxTable(whole.left(taxStart + kTaxRecordSize)).size(), 1);
    // Shorter than the table's offset: empty.
    EXPECT_TRUE(ReadTaxTable(whole.left(taxStart)).isEmpty());
    EXPECT_TRUE(ReadRamTable(QByteArray()).isEmpty());
}

TEST(JoinUploadFiles, HeaderThenDataThenFooterOverTheDataFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return dir.filePath(name);
    };
    const QByteArray header = SampleHeaderBlocks(1), data = SampleChangeDataArea(1),
                     footer = SampleFooterBlocks(1);
    const QString h = write("Header.hex", header), f = write("Footer.hex", footer),
                  d = write("data.hex", data);
    JoinUploadFiles(h, f, d);
    EXPECT_EQ(ReadWholeFile(d), header + data + footer);
    EXPECT_EQ(ReadWholeFile(h), header);
    EXPECT_EQ(ReadWholeFile(f), footer);

    // A missing header raises the file error and leaves the data file as it was.
    const QString d2 = write("data2.hex", data);
    EXPECT_THROW(JoinUploadFiles(dir.filePath("nope.hex"), f, d2), FileError);
    EXPECT_EQ(ReadWholeFile(d2), data);
    EXPECT_THROW(JoinUploadFiles(h, f, dir.filePath("missing-data.hex")), FileError);
    EXPECT_FALSE(QFile::exists(dir.filePath("missing-data.hex")));

    // A disk that takes the change data but not the joined file: the error gives the system's
    // reason and the change data stay as they came, never an empty or cut file.
    const QString d3 = write("data3.hex", data);
    QString error;
    {
        testsupport::FileSizeLimit limit(rlim_t(data.size()));
        ASSERT_TRUE(limit.Active());
        try {
            JoinUploadFiles(h, f, d3);
        } catch (const FileError& e) {
            error = QString::fromStdString(e.what());
        }
    }
    EXPECT_EQ(error, d3 + QStringLiteral(": ") + qt_error_string(EFBIG));
    EXPECT_EQ(ReadWholeFile(d3), data);
}
