// Memory dumps, the device check and what its answer starts or refuses, program downloads
// and the downloads that only open their file, over a serial line.

#include "link_test_support.h"

namespace {

using DumpDownload = LinkFixture;

QByteArray MemoryBytes(std::uint32_t Address, int Size) {
    QByteArray d(Size, '\0');
    for (int i = 0; i < Size; ++i) {
        const std::uint32_t a = Address + static_cast<std::uint32_t>(i);
        d[i] = static_cast<char>((a * 7 + (a >> 8) * 13) & 0xFF);
    }
    return d;
}

struct DumpCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t answerClass;
    int start;
    int end;
    int packets;      // answers with data the dump takes
    bool endsOnEmpty; // then an answer without data ends it
    QString finish;
};

TEST_F(DumpDownload, DumpsStepTheAddressUntilTheEnd) {
    const DumpCase cases[] = {
        {"ROM, nothing set: one packet", H_UPLOAD_ROM, 0x82, 0, 0, 1, false,
         "Finish upload ROM data!"},
        {"ROM range of three blocks", H_UPLOAD_ROM, 0x82, 0x012300, 0x012500, 3, false,
         "Finish upload ROM data!"},
        {"RAM as class 0x80 data", H_UPLOAD_RAM, 0x80, 0x000010, 0x000200, 3, false,
         "Finish upload RAM data!"},
        {"RAM ended by an empty answer", H_UPLOAD_RAM, 0x81, 0x4000, 0x8000, 2, true,
         "Finish upload RAM data!"},
        {"NAND flash pages", H_UP_NANDFLASH, 0x80, 0x0A0000, 0x0A0100, 2, false,
         "Finish upload NANDFLASH data!"},
        {"top of the address space", H_UPLOAD_ROM, 0x82, 0xFFFF00, 0xFFFFFF, 1, false,
         "Finish upload ROM data!"},
    };
    for (const DumpCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        link.DumpStart = c.start;
        link.DumpEnd = c.end;
        const QString file = FilePath(c.name);
        StartSerialUpload(c.cmd, file);
        EXPECT_EQ(link.BlockCounter, c.start & 0xFFFF);
        QByteArray expected;
        std::uint32_t address = static_cast<std::uint32_t>(c.start);
        for (int k = 0; k < c.packets + (c.endsOnEmpty ? 1 : 0); ++k) {
            SCOPED_TRACE(k);
            ASSERT_EQ(serial->Writes.size(), static_cast<std::size_t>(k + 2));
            const DeviceFrame req = LastRequest();
            EXPECT_TRUE(req.Data.isEmpty());
            if (c.cmd == H_UP_NANDFLASH) {
                EXPECT_EQ(req.Class, 0x80);
                EXPECT_EQ(req.Code, 0x13);
                EXPECT_EQ(req.Param1, (address >> 16) & 0xFF);
                EXPECT_EQ(req.Param2, (address >> 8) & 0xFF);
            } else {
                EXPECT_EQ(req.Class, c.cmd == H_UPLOAD_ROM ? 0x82 : 0x81);
                EXPECT_EQ(req.Code, (address >> 16) & 0xFF);
                EXPECT_EQ(req.Param1, (address >> 8) & 0xFF);
                EXPECT_EQ(req.Param2, address & 0xFF);
            }
            const bool empty = k == c.packets;
            const QByteArray data = empty ? QByteArray() : MemoryBytes(address, 256);
            serial->Deliver(EncodeFrame(Answer(c.answerClass, req.Code, req.Sequence, data)));
            expected += data;
            address += 256;
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_FALSE(link.OutputFile().isOpen());
        EXPECT_EQ(statuses.back(), c.finish);
        EXPECT_EQ(ReadFile(file), expected);
        Advance(60000);
        EXPECT_EQ(serial->Writes.size(),
                  static_cast<std::size_t>(c.packets + (c.endsOnEmpty ? 2 : 1)));
    }
}

TEST_F(DumpDownload, RepeatedDumpPacketIsWrittenOnceAndDoesNotSkipAnAddress) {
    link.DumpStart = 0x1000;
    link.DumpEnd = 0x1100;
    StartSerialUpload(H_UPLOAD_ROM, FilePath("rep.hex"));
    const DeviceFrame req = LastRequest();
    const QByteArray first =
        EncodeFrame(Answer(0x82, req.Code, req.Sequence, MemoryBytes(0x1000, 256)));
    // The device answers the request twice (a retransmission crossed its first answer).
    serial->Deliver(first);
    ASSERT_EQ(serial->Writes.size(), 3u);
    const DeviceFrame second = LastRequest();
    EXPECT_EQ(second.Param1, 0x11);
    serial->Deliver(first);
    EXPECT_EQ(serial->Writes.size(), 3u);
    EXPECT_EQ(link.DumpAddress[1], 0x11);
    serial->Deliver(
        EncodeFrame(Answer(0x82, second.Code, second.Sequence, MemoryBytes(0x1100, 256))));
    EXPECT_EQ(link.SessionResult(), 3);
    EXPECT_EQ(ReadFile(FilePath("rep.hex")), MemoryBytes(0x1000, 512));
}

// The answer of a device check: byte 1 holds the device's state, bytes 5 and 6 its
// software version as four decimal digits.
QByteArray CheckAnswer(std::uint8_t State, std::uint8_t VersionHigh, std::uint8_t VersionLow) {
    QByteArray d(8, '\0');
    d[1] = static_cast<char>(State);
    d[5] = static_cast<char>(VersionHigh);
    d[6] = static_cast<char>(VersionLow);
    return d;
}

// A program image whose version bytes at 0x7FF2 are High, Low.
QByteArray ProgramImage(int Size, std::uint8_t High, std::uint8_t Low) {
    QByteArray d(Size, '\0');
    for (int i = 0; i < Size; ++i)
        d[i] = static_cast<char>((i * 3 + (i >> 8)) & 0xFF);
    if (Size >= 0x7FF4) {
        d[0x7FF2] = static_cast<char>(High);
        d[0x7FF3] = static_cast<char>(Low);
    }
    return d;
}

bool WriteBytes(const QString& Path, const QByteArray& Bytes) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Bytes) == Bytes.size();
}

enum class CheckOutcome { Refused, DownloadStarts, Waits };

struct CheckCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t state;
    int stopAfter;
    CheckOutcome outcome;
    int result; // for Refused, or 3 when StopAfter ends it
    QString status;
};

TEST_F(DumpDownload, DeviceCheckStartsOrRefusesTheCommand) {
    const CheckCase cases[] = {
        {"64K, receipt open", H_PROGRAM64K, 0x03, 0, CheckOutcome::Refused, -1,
         "Receipt is open or Z Report must be taken!"},
        {"64K, Z due is no obstacle", H_PROGRAM64K, 0x40, 0, CheckOutcome::DownloadStarts, 0, {}},
        {"64K, stop after the check", H_PROGRAM64K, 0x00, 1, CheckOutcome::Waits, 3, {}},
        {"tax rates, Z due", H_DOWNLOAD_TAX, 0x40, 0, CheckOutcome::Refused, -2,
         "Z Report must be taken!"},
        {"departments, Z due", H_DOWNLOAD_DEP, 0x41, 0, CheckOutcome::Refused, -2,
         "Z Report must be taken!"},
        {"settings, no Z due", H_DOWNLOAD_SETTING, 0x03, 0, CheckOutcome::DownloadStarts, 0, {}},
        {"PLU upload, stop after the check", H_UPLOAD_PLU, 0x40, 1, CheckOutcome::Waits, 3, {}},
        {"PLU download, nothing starts", H_DOWNLOAD_APLU, 0x00, 0, CheckOutcome::Waits, 1, {}},
    };
    const QString image = FilePath("image.bin");
    ASSERT_TRUE(WriteBytes(image, ProgramImage(0x8000, 0x00, 0x60)));
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        link.StopAfter = c.stopAfter;
        const bool reads = TemplateOf(c.cmd).File == FileDirection::Read;
        const QString file = reads ? image : FilePath(c.name);
        link.EnumVarnCmd = c.cmd;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        link.StopAfter = c.stopAfter;
        ASSERT_TRUE(link.PrepareCommand(file));
        serial->Deliver(Ack(0));
        Advance(TBsPort::kBaudSettleMs);
        ASSERT_EQ(serial->Writes.size(), 2u);
        const DeviceFrame check = LastRequest();
        EXPECT_EQ(check.Class, 0x80);
        EXPECT_EQ(check.Code, 0x0C);
        EXPECT_TRUE(check.Data.isEmpty());
        EXPECT_EQ(link.CurrentCommand, H_CHK_ECR);

        serial->Deliver(
            EncodeFrame(Answer(0x80, 0x0C, check.Sequence, CheckAnswer(c.state, 0x01, 0x23))));
        EXPECT_EQ(link.SwVersion, 123);
        EXPECT_EQ(link.ZReportDue, (c.state & 0x40) != 0);
        switch (c.outcome) {
        case CheckOutcome::Refused:
            EXPECT_EQ(link.SessionResult(), c.result);
            EXPECT_EQ(link.LinkState, '0');
            EXPECT_EQ(link.FileState, 0);
            EXPECT_FALSE(link.InputFile().isOpen());
            EXPECT_EQ(statuses.back(), c.status);
            EXPECT_EQ(serial->Writes.size(), 2u);
            break;
        case CheckOutcome::DownloadStarts:
            EXPECT_EQ(link.CurrentCommand, c.cmd);
            EXPECT_EQ(link.LinkState, 'L');
            EXPECT_TRUE(link.InputFile().isOpen());
            if (c.cmd == H_PROGRAM64K) {
                ASSERT_EQ(serial->Writes.size(), 3u) << "the first program packet goes out";
                EXPECT_EQ(LastRequest().Code, 0x03);
            } else {
                EXPECT_EQ(serial->Writes.size(), 2u) << "this download sends nothing";
            }
            break;
        case CheckOutcome::Waits:
            EXPECT_EQ(link.SessionResult(), c.result);
            EXPECT_EQ(link.LinkState, c.stopAfter == 1 ? '0' : 'L');
            EXPECT_EQ(serial->Writes.size(), 2u);
            break;
        }
        link.InputFile().close();
        link.OutputFile().close();
        link.StopAfter = 0;
    }
}

struct ProgramCase {
    const char* name;
    TEnumVarnCmd cmd;
    std::uint8_t sw; // device version, BCD low byte (high byte 0)
    std::uint8_t prg;
    int imageSize;
    std::function<bool(int Block)> tail; // which blocks carry 66 F0
};

TEST_F(DumpDownload, ProgramDownloadSendsTheImageWithTheVersionTail) {
    const ProgramCase cases[] = {
        {"64K, device 49, program 50: tail from block 16", H_PROGRAM64K, 0x49, 0x50, 0x8000,
         [](int b) { return b >= 16; }},
        {"64K, device 50, program 49: tail below block 16", H_PROGRAM64K, 0x50, 0x49, 0x8000,
         [](int b) { return b < 16; }},
        {"64K, both 50: tail everywhere", H_PROGRAM64K, 0x50, 0x50, 0x8000,
         [](int) { return true; }},
        {"64K, both 49: no tail", H_PROGRAM64K, 0x49, 0x49, 0x8000 + 100,
         [](int) { return false; }},
        {"60K from block 16, no tail", H_PROGRAM60K, 0x50, 0x50, 0x8000, [](int) { return false; }},
    };
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.name);
        serial->Writes.clear();
        statuses.clear();
        const QByteArray image = ProgramImage(c.imageSize, 0x00, c.prg);
        const QString file = FilePath("program.bin");
        ASSERT_TRUE(WriteBytes(file, image));
        StartSerialUpload(c.cmd, file);
        EXPECT_EQ(link.PrgVersion, c.prg == 0x50 ? 50 : 49);
        if (c.cmd == H_PROGRAM64K) {
            const DeviceFrame check = LastRequest();
            ASSERT_EQ(check.Code, 0x0C);
            serial->Deliver(
                EncodeFrame(Answer(0x80, 0x0C, check.Sequence, CheckAnswer(0, 0x00, c.sw))));
        }
        const int firstBlock = c.cmd == H_PROGRAM60K ? 16 : 0;
        const int blocks = (c.imageSize - firstBlock * 256 + 255) / 256;
        for (int k = 0; k < blocks; ++k) {
            const int block = firstBlock + k;
            SCOPED_TRACE(block);
            const DeviceFrame packet = LastRequest();
            ASSERT_EQ(packet.Class, 0x90);
            ASSERT_EQ(packet.Code, c.cmd == H_PROGRAM64K ? 0x03 : 0x05);
            EXPECT_EQ((packet.Param1 << 8) | packet.Param2, block);
            QByteArray expected = image.mid(block * 256, 256);
            if (c.tail(block))
                expected += QByteArray::fromHex("66f0");
            ASSERT_EQ(packet.Data, expected);
            const std::size_t before = serial->Writes.size();
            serial->Deliver(Ack(static_cast<std::uint8_t>(packet.Sequence + 1))); // not its ack
            EXPECT_EQ(serial->Writes.size(), before);
            serial->Deliver(Ack(packet.Sequence));
        }
        EXPECT_EQ(link.SessionResult(), 3);
        EXPECT_EQ(link.LinkState, '0');
        EXPECT_FALSE(link.InputFile().isOpen());
        EXPECT_EQ(statuses.back(), c.cmd == H_PROGRAM64K
                                       ? QStringLiteral("Finish trans VARN 64K program!")
                                       : QStringLiteral("Finish trans VARN 60K program!"));
    }
}

TEST_F(DumpDownload, ProgramImageWithoutAReadableVersionIsNotSent) {
    struct Case {
        const char* name;
        QByteArray image;
    };
    const Case cases[] = {
        {"too short for the version", ProgramImage(0x7FF3, 0, 0)},
        {"version not decimal", ProgramImage(0x8000, 0x1A, 0x00)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = FilePath("bad.bin");
        ASSERT_TRUE(WriteBytes(file, c.image));
        link.EnumVarnCmd = H_PROGRAM60K;
        EXPECT_FALSE(link.PrepareCommand(file));
        EXPECT_EQ(link.FileState, 0);
        EXPECT_FALSE(link.InputFile().isOpen());
    }
}

// Downloads without a request of their own open their file and start, and then nothing is
// sent: the session ends by the time-out.
TEST_F(DumpDownload, DownloadsWithoutRequestsOnlyOpenTheirFile) {
    const TEnumVarnCmd cmds[] = {H_DOWNLOAD_FM,   H_DOWNLOAD_KPLU, H_DOWNLOAD_FTPPLUK,
                                 H_DOWNLOAD_LOGO, H_DN_ADV,        H_DOWNLOAD_PPLU,
                                 H_DOWNLOAD_SPLU, H_RESPONSE_TRADE};
    const QString file = FilePath("data.bin");
    ASSERT_TRUE(WriteBytes(file, QByteArray(5000, 'x')));
    for (const TEnumVarnCmd cmd : cmds) {
        SCOPED_TRACE(CommandName(cmd));
        serial->Writes.clear();
        serial->Open();
        link.EnumVarnCmd = cmd;
        link.RetriesLeft = 6;
        link.BeginSession(1, kBaudIndex115200, true);
        ASSERT_TRUE(link.PrepareCommand(file));
        EXPECT_EQ(link.FileState, 1);
        EXPECT_EQ(link.PacketSize, TemplateOf(cmd).PacketSize);
        serial->Deliver(Ack(0));
        Advance(TBsPort::kBaudSettleMs);
        EXPECT_EQ(serial->Writes.size(), 1u);
        int expiries = 0;
        while (link.SessionResult() != 2 && expiries < 20) {
            Advance(link.AckTimeoutMs);
            ++expiries;
        }
        EXPECT_EQ(expiries, TBsPort::kDefaultRetries);
        EXPECT_FALSE(link.InputFile().isOpen());
        // Only the retransmitted H_SETBAUD went out, never file data.
        for (const auto& w : serial->Writes)
            EXPECT_EQ(DecodeWrite(w.Bytes).Data.size(), 0);
    }
}

} // namespace
