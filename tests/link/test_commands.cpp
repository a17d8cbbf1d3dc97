// The command set: templates, per-link table, bit-rate tables.

#include "link/bsport.h"
#include "link/commands.h"

#include <gtest/gtest.h>

namespace {

QByteArray RowBytes(const CommandRow& row) {
    QByteArray out;
    for (std::uint32_t w : row)
        out += static_cast<char>(w & 0xFF);
    return out;
}

TEST(CommandSet, TemplatesInOrdinalOrder) {
    struct Case {
        TEnumVarnCmd cmd;
        int ordinal;
        const char* row; // header bytes 1..9 of the constant table
        int packetSize;
        FileDirection file;
        StartAction after;
    };
    const Case cases[] = {
        {H_PACK_OK, 0, "00 00 00 01 80 0e 00 00 00", 0, FileDirection::None, StartAction::None},
        {H_SETBAUD, 2, "00 00 00 01 80 00 01 00 00", 0, FileDirection::None, StartAction::None},
        {H_PROGRAM64K, 3, "00 00 00 01 90 03 00 00 00", 256, FileDirection::Read,
         StartAction::DeviceCheckFirst},
        {H_UPLOAD_EPROM, 6, "00 00 00 01 83 00 00 00 00", 256, FileDirection::Write,
         StartAction::EpromStart},
        {H_CHK_ECR, 19, "00 00 00 01 80 0c 00 00 00", 0, FileDirection::None, StartAction::None},
        {H_DOWNLOAD_DEP, 21, "00 00 00 01 90 01 00 00 00", 1440, FileDirection::Read,
         StartAction::DeviceCheckFirst},
        {H_UPLOAD_ZRPT, 33, "00 00 00 01 80 06 01 00 00", 256, FileDirection::Write,
         StartAction::UploadStart},
        {H_DN_UpTrTaskOk, 39, "00 00 00 01 90 0c 00 00 00", 0, FileDirection::None,
         StartAction::SendUpTrTaskOk},
        {H_DOWNLOAD_PPLU, 46, "00 00 00 01 90 10 00 00 00", 640, FileDirection::Read,
         StartAction::CurrentOnly},
        {H_END_COMM, 49, "00 00 00 01 80 20 00 00 00", 0, FileDirection::None, StartAction::None},
        {H_UPLOAD_Detail, 50, "00 00 00 01 80 10 00 00 00", 256, FileDirection::Write,
         StartAction::UploadStart},
        {H_UPLOAD_Footer, 53, "00 00 00 01 80 13 00 00 00", 256, FileDirection::Write,
         StartAction::UploadStart},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(CommandName(c.cmd));
        EXPECT_EQ(static_cast<int>(c.cmd), c.ordinal);
        EXPECT_EQ(RowBytes(TemplateRow(c.cmd)).toHex(' '), QByteArray(c.row));
        EXPECT_EQ(TemplateOf(c.cmd).PacketSize, c.packetSize);
        EXPECT_EQ(TemplateOf(c.cmd).File, c.file);
        EXPECT_EQ(TemplateOf(c.cmd).After, c.after);
    }
    EXPECT_EQ(kCommandCount, 54);
    EXPECT_EQ(static_cast<int>(H_UPLOAD_Footer) + 1, kCommandCount);
    // Every row of the constant table: address 00 00 00 01 and sequence 0.
    for (const CommandRow& row : DefaultCommandTable()) {
        EXPECT_EQ(RowBytes(row).left(4).toHex(), QByteArray("00000001"));
        EXPECT_EQ(row[8], 0u);
    }
    EXPECT_STREQ(CommandName(H_UPLOAD_Summary), "H_UPLOAD_Summary");
}

TEST(CommandSet, LinkTableIsReloadedWithTheSessionAddress) {
    TBsPort link;
    EXPECT_EQ(RowBytes(link.Commands[H_UPLOAD_Detail]).toHex(' '),
              QByteArray("00 00 00 01 80 10 00 00 00"));
    link.Commands[H_UPLOAD_Detail][8] = 0x1234;
    link.Commands[H_SETBAUD][6] = 12;
    struct Case {
        int address;
        const char* bytes;
    };
    const Case cases[] = {{1, "01000000"}, {0x12345678, "78563412"}, {0, "00000000"}};
    for (const Case& c : cases) {
        link.ResetCommandTable(c.address);
        for (int i = 0; i < kCommandCount; ++i) {
            const CommandRow& row = link.Commands[i];
            EXPECT_EQ(RowBytes(row).left(4).toHex(), QByteArray(c.bytes)) << i;
            EXPECT_EQ(row[8], 0u) << i;
            EXPECT_EQ(row[4], TemplateOf(static_cast<TEnumVarnCmd>(i)).Class) << i;
        }
        EXPECT_EQ(link.Commands[H_SETBAUD][6], 1u) << "template value restored";
    }
}

TEST(CommandSet, BitRateTables) {
    struct Case {
        TBaudRate index;
        int rate;
        std::uint8_t divisor;
    };
    const Case cases[] = {{tbr1200, 1200, 96},  {tbr2400, 2400, 48},   {tbr4800, 4800, 24},
                          {tbr9600, 9600, 12},  {tbr19200, 19200, 6},  {tbr38400, 38400, 3},
                          {tbr57600, 57600, 2}, {tbr115200, 115200, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(BaudRates[c.index], c.rate);
        EXPECT_EQ(BaudDivisors[c.index], c.divisor);
        EXPECT_EQ(115200 / c.rate, c.divisor);
        EXPECT_EQ(BaudIndexOf(c.rate), c.index);
        EXPECT_EQ(BaudRateOfIndex(c.index), c.rate);
    }
    EXPECT_EQ(BaudIndexOf(12345), 3);
    EXPECT_EQ(BaudIndexOf(0), 3);
    EXPECT_EQ(BaudRateOfIndex(8), 9600);
    EXPECT_EQ(BaudRateOfIndex(-1), 9600);
}

} // namespace
